// `dctlab encode` and `dctlab decode` against libjpeg-turbo's programs, as
// whole processes, on one picture:
//
//   encode  dctlab encode IN.bmp OUT.jpg --rate R   against   cjpeg -optimize -sample 2x2 IN.bmp
//   decode  dctlab decode OUT.jpg BACK.bmp          against   djpeg -bmp OUT.jpg
//   size    OUT.jpg                                 against   jpegtran -optimize OUT.jpg
//
// cjpeg runs at its default quality (75) whatever our rate: its time is the
// bar for every rate. djpeg and jpegtran work on our own file of each rate,
// so they decode and re-code exactly the coefficients we do. Every file lies
// on tmpfs (/dev/shm, else $TMPDIR, else /tmp), so that the disk is not
// timed. Each command runs once to warm up, then --runs more times, the
// commands taking turns so that a slow spell of the machine falls on all of
// them alike; the figure is the median wall-clock time from spawning the
// process to reaping it. Before it reports anything the program checks that
// every process succeeded, that our decoder and djpeg both give the picture
// back at its size and close to the original, and prints their PSNR.
//
//   jpeg_bench [--photo=FILE.bmp] [--size=N] [--rates=2,10,40] [--runs=N]
//              [--dctlab=PATH] [--keep]
//
// Without --photo the picture is the generated 4096x4096 photo-like one
// (--size changes the side). For each rate it prints
//   RESULT rate=R encode=E decode=D size=S size_all=A
// with E = cjpeg's time / ours, D = djpeg's time / ours (above 1: we are
// faster), S = our size / jpegtran's (below 1: our file is smaller) and A
// the same against jpegtran -copy all, which keeps our APP1 (Exif) segment
// that plain jpegtran drops: a file of the same segments.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <linux/magic.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "imgcodec.h"
#include "photo_like.h"
#include "record_handles.h"

extern char **environ;

namespace
{

namespace fs = std::filesystem;
using Rgb = dctlab::img::RgbPtr;

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "jpeg_bench: %s\n", what.c_str());
    std::exit(1);
}

// The program `name` on PATH, or empty.
std::string on_path(const std::string &name)
{
    const char *path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const fs::path candidate = fs::path(dir.empty() ? "." : dir) / name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate.string();
    }
    return {};
}

// A new folder on tmpfs where there is one.
fs::path work_folder()
{
    std::vector<std::string> bases;
    if (access("/dev/shm", W_OK) == 0)
        bases.push_back("/dev/shm");
    if (const char *t = std::getenv("TMPDIR"); t && *t)
        bases.push_back(t);
    bases.push_back("/tmp");
    for (const std::string &base : bases) {
        std::string templ = base + "/jpeg_bench.XXXXXX";
        if (mkdtemp(templ.data()))
            return templ;
    }
    fail("cannot make a work folder");
}

// The load averages, to tell a quiet machine from a busy one.
std::string load_average()
{
    std::FILE *f = std::fopen("/proc/loadavg", "r");
    char line[128] = "";
    if (f) {
        if (!std::fgets(line, sizeof line, f))
            line[0] = 0;
        std::fclose(f);
    }
    std::string s = line;
    const size_t third = s.find(' ', s.find(' ', s.find(' ') + 1) + 1);
    return third == std::string::npos ? s : s.substr(0, third);
}

bool on_tmpfs(const fs::path &p)
{
    struct statfs s {};
    return statfs(p.c_str(), &s) == 0 && s.f_type == TMPFS_MAGIC;
}

struct Command {
    Command(std::string n, std::vector<std::string> a) : name(std::move(n)), argv(std::move(a)) {}
    std::string name; // for the log file and messages
    std::vector<std::string> argv;
    std::vector<double> wall, cpu; // seconds, one a timed run
};

// Runs `c` once with its output in a log file beside the pictures, and
// returns its wall-clock and CPU time; stops the program if it fails.
void run(Command &c, const fs::path &dir, bool timed)
{
    const std::string log = (dir / (c.name + ".log")).string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char *> argv;
    for (std::string &a : c.argv)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    const int err = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    int status = 0;
    rusage usage{};
    const pid_t reaped = err == 0 ? wait4(pid, &status, 0, &usage) : -1;
    const auto end = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0)
        fail("cannot start " + c.argv[0] + ": " + std::strerror(err));
    if (reaped != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::string cmd;
        for (const std::string &a : c.argv)
            cmd += " " + a;
        std::fprintf(stderr, "jpeg_bench: failed:%s\n", cmd.c_str());
        std::FILE *f = std::fopen(log.c_str(), "r");
        for (int ch; f && (ch = std::fgetc(f)) != EOF;)
            std::fputc(ch, stderr);
        if (f)
            std::fclose(f);
        std::exit(1);
    }
    if (timed) {
        auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
        c.wall.push_back(std::chrono::duration<double>(end - start).count());
        c.cpu.push_back(seconds(usage.ru_utime) + seconds(usage.ru_stime));
    }
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// PSNR of `b` against `a` over all samples; with `flipped`, `b`'s rows
// in the other order.
double psnr(const PDRGB &a, const PDRGB &b, bool flipped)
{
    double sum = 0;
    for (uint32_t y = 0; y < a.h; ++y) {
        const BMPPIX8BNA *ra = a.data + size_t{y} * a.w;
        const BMPPIX8BNA *rb = b.data + size_t{flipped ? a.h - 1 - y : y} * a.w;
        for (uint32_t x = 0; x < a.w; ++x) {
            const double db = ra[x].B - rb[x].B, dg = ra[x].G - rb[x].G, dr = ra[x].R - rb[x].R;
            sum += db * db + dg * dg + dr * dr;
        }
    }
    const double mse = sum / (3.0 * a.w * a.h);
    return mse == 0 ? INFINITY : 10 * std::log10(255.0 * 255.0 / mse);
}

// The decoded picture at `path` against the original; djpeg knows nothing
// of the orientation our files carry, so its rows may come upside down.
double checked_psnr(const PDRGB &original, const fs::path &path, bool any_row_order)
{
    const Rgb back(getRGBFromFile(path.c_str()));
    if (!back || back->w != original.w || back->h != original.h)
        fail(path.string() + " is not the picture at its size");
    double best = psnr(original, *back, false);
    if (any_row_order)
        best = std::max(best, psnr(original, *back, true));
    if (!(best > 20))
        fail(path.string() + " is too far from the original picture");
    return best;
}

std::vector<unsigned> parse_rates(const std::string &list)
{
    std::vector<unsigned> rates;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ','))
        rates.push_back(static_cast<unsigned>(std::stoul(item)));
    if (rates.empty())
        fail("no rates");
    return rates;
}

} // namespace

int main(int argc, char **argv)
{
    std::string photo, dctlab = DCTLAB_PROGRAM;
    uint32_t side = 4096;
    int runs = 7;
    bool keep = false;
    std::vector<unsigned> rates{2, 10, 40};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&](const char *key) {
            return a.rfind(key, 0) == 0 ? a.substr(std::strlen(key)) : std::string();
        };
        if (!value("--photo=").empty())
            photo = value("--photo=");
        else if (!value("--size=").empty())
            side = static_cast<uint32_t>(std::stoul(value("--size=")));
        else if (!value("--runs=").empty())
            runs = std::max(1, std::stoi(value("--runs=")));
        else if (!value("--rates=").empty())
            rates = parse_rates(value("--rates="));
        else if (!value("--dctlab=").empty())
            dctlab = value("--dctlab=");
        else if (a == "--keep")
            keep = true;
        else {
            std::fprintf(stderr,
                         "usage: %s [--photo=FILE.bmp] [--size=N] [--rates=2,10,40] [--runs=N] "
                         "[--dctlab=PATH] [--keep]\n",
                         argv[0]);
            return 2;
        }
    }
    std::map<std::string, std::string> peer;
    for (const char *name : {"cjpeg", "djpeg", "jpegtran"}) {
        peer[name] = on_path(name);
        if (peer[name].empty())
            fail(std::string(name) + " not found; ./setup bench installs libjpeg-turbo-progs");
    }
    if (access(dctlab.c_str(), X_OK) != 0)
        fail("no dctlab program at " + dctlab + " (--dctlab=PATH)");

    const fs::path dir = work_folder();
    const fs::path bmp = dir / "picture.bmp";
    Rgb original(photo.empty() ? dctlab::bench::photo_like(side).release()
                               : getRGBFromFile(photo.c_str()));
    if (!original)
        fail("cannot read " + photo);
    writeToBMP(bmp.c_str(), original.get());
    std::fflush(stdout);
    if (!fs::exists(bmp))
        fail("cannot write " + bmp.string());

    // Index 0 is cjpeg; then encode, decode and djpeg of each rate.
    std::vector<Command> commands;
    commands.push_back({"cjpeg",
                        {peer["cjpeg"], "-optimize", "-sample", "2x2", "-outfile",
                         (dir / "cjpeg.jpg").string(), bmp.string()}});
    auto ours = [&](unsigned r) { return (dir / ("ours-" + std::to_string(r) + ".jpg")).string(); };
    for (unsigned r : rates) {
        const std::string tag = std::to_string(r);
        commands.push_back(
            {"encode-" + tag, {dctlab, "encode", bmp.string(), ours(r), "--rate", tag}});
        commands.push_back({"decode-" + tag,
                            {dctlab, "decode", ours(r), (dir / ("ours-" + tag + ".bmp")).string()}});
        commands.push_back({"djpeg-" + tag,
                            {peer["djpeg"], "-bmp", "-outfile",
                             (dir / ("djpeg-" + tag + ".bmp")).string(), ours(r)}});
    }
    const std::string load_before = load_average();
    for (int round = 0; round <= runs; ++round)
        for (Command &c : commands)
            run(c, dir, round > 0);

    std::printf("picture: %ux%u %s, %ju bytes as BMP, files in %s%s\n", original->w, original->h,
                photo.empty() ? "generated photo-like" : photo.c_str(),
                static_cast<uintmax_t>(fs::file_size(bmp)), dir.c_str(),
                on_tmpfs(dir) ? " (tmpfs)" : " (NOT tmpfs)");
    std::printf("whole processes, median wall-clock time of %d runs after one warm-up; "
                "CPU = user + system of the same runs; load average %s before, %s after\n",
                runs, load_before.c_str(), load_average().c_str());
    const Command &cjpeg = commands[0];
    const double cjpeg_wall = median(cjpeg.wall);
    std::printf("cjpeg -optimize -sample 2x2, default quality 75: %.1f ms (CPU %.1f ms), "
                "%ju bytes\n\n",
                1e3 * cjpeg_wall, 1e3 * median(cjpeg.cpu),
                static_cast<uintmax_t>(fs::file_size(dir / "cjpeg.jpg")));

    std::printf("| rate | encode ms (CPU) | cjpeg ms | E | decode ms (CPU) | djpeg ms (CPU) | D "
                "| our bytes | jpegtran -optimize bytes | S | with -copy all | PSNR ours, djpeg (dB) |\n");
    std::printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    std::vector<std::string> results;
    for (size_t i = 0; i < rates.size(); ++i) {
        const unsigned r = rates[i];
        const std::string tag = std::to_string(r);
        const Command &enc = commands[1 + 3 * i], &dec = commands[2 + 3 * i],
                      &djpeg = commands[3 + 3 * i];
        Command tran{"jpegtran-" + tag,
                     {peer["jpegtran"], "-optimize", "-outfile",
                      (dir / ("jpegtran-" + tag + ".jpg")).string(), ours(r)}};
        run(tran, dir, false);
        // jpegtran keeps only comments by default; with all markers copied
        // its file holds our APP1 segment too.
        Command tran_all{"jpegtran-all-" + tag,
                         {peer["jpegtran"], "-optimize", "-copy", "all", "-outfile",
                          (dir / ("jpegtran-all-" + tag + ".jpg")).string(), ours(r)}};
        run(tran_all, dir, false);
        const double all_size = double(fs::file_size(dir / ("jpegtran-all-" + tag + ".jpg")));
        const double ours_size = double(fs::file_size(ours(r)));
        const double tran_size = double(fs::file_size(dir / ("jpegtran-" + tag + ".jpg")));
        const double our_psnr = checked_psnr(*original, dir / ("ours-" + tag + ".bmp"), false);
        const double djpeg_psnr = checked_psnr(*original, dir / ("djpeg-" + tag + ".bmp"), true);
        const double e = cjpeg_wall / median(enc.wall), d = median(djpeg.wall) / median(dec.wall),
                     s = ours_size / tran_size;
        std::printf("| %u | %.1f (%.1f) | %.1f | %.2f | %.1f (%.1f) | %.1f (%.1f) | %.2f | %.0f | "
                    "%.0f | %.4f | %.0f (S %.4f) | %.2f, %.2f |\n",
                    r, 1e3 * median(enc.wall), 1e3 * median(enc.cpu), 1e3 * cjpeg_wall, e,
                    1e3 * median(dec.wall), 1e3 * median(dec.cpu), 1e3 * median(djpeg.wall),
                    1e3 * median(djpeg.cpu), d, ours_size, tran_size, s, all_size, ours_size / all_size,
                    our_psnr, djpeg_psnr);
        char line[160];
        std::snprintf(line, sizeof line,
                      "RESULT rate=%u encode=%.3f decode=%.3f size=%.4f size_all=%.4f", r, e, d, s,
                      ours_size / all_size);
        results.push_back(line);
    }
    std::printf("\nE = cjpeg / encode, D = djpeg / decode (goal: at least 1); "
                "S = our bytes / jpegtran's (goal: at most 1); jpegtran -optimize alone drops "
                "our APP1 (Exif) segment, -copy all keeps it\n\n");
    for (const std::string &line : results)
        std::printf("%s\n", line.c_str());
    if (!keep) {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    return 0;
}
