// A fresh directory for one test, removed with everything in it afterwards.
#ifndef DCTLAB_TEST_TEMP_DIR_H
#define DCTLAB_TEST_TEMP_DIR_H

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

class TempDir
{
  public:
    explicit TempDir(const std::string &prefix = "dctlab-test")
    {
        std::string name = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
        if (!mkdtemp(name.data()))
            throw std::runtime_error("cannot create a temporary directory");
        path_ = name;
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::filesystem::path &path() const { return path_; }
    std::string operator/(const std::string &name) const { return (path_ / name).string(); }

  private:
    std::filesystem::path path_;
};

#endif
