"""The Python package against the dctlab program on the same files, and its
refusals: exceptions with the library's message, nothing on standard output."""
import heapq
import os
import subprocess

import numpy as np
import pytest

import dctlab

PROGRAM = os.environ["DCTLAB_PROGRAM"]


def run(*args):
    subprocess.run([PROGRAM, *map(str, args)], check=True, capture_output=True)


def picture(h, w, seed=1):
    """A picture with smooth parts and edges, so that every rate keeps something."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:h, 0:w]
    base = np.stack([(xx * 7 + yy * 3) % 256, (yy * 5) % 256, (xx * yy) % 256], axis=-1)
    return np.clip(base + rng.integers(-20, 21, size=(h, w, 3)), 0, 255).astype(np.uint8)


SIZES = [(1, 1), (9, 7), (8, 8), (33, 17), (48, 65)]


@pytest.mark.parametrize("h,w", SIZES)
@pytest.mark.parametrize("rate", [0, 2, 40, 255])
def test_path_gives_what_the_program_gives(tmp_path, h, w, rate):
    rgb = picture(h, w, seed=h * w + rate)
    bmp = tmp_path / "in.bmp"
    dctlab.write_bmp(bmp, rgb)
    assert np.array_equal(dctlab.read_bmp(bmp), rgb)

    run("picture", bmp, tmp_path / "out.bmp", "--rate", rate)
    y, cb, cr = dctlab.rgb_to_ycbcr(dctlab.read_bmp(bmp))
    assert y.shape == (h, w) and cb.shape == cr.shape == ((h + 1) // 2, (w + 1) // 2)
    coefficients = dctlab.forward(y, cb, cr, rate)
    blocks = ((h + 7) // 8) * ((w + 7) // 8)
    assert coefficients[0].shape == (blocks, 64)
    planes = dctlab.inverse(*coefficients, w, h, rate)
    assert np.array_equal(dctlab.ycbcr_to_rgb(*planes), dctlab.read_bmp(tmp_path / "out.bmp"))

    run("encode", bmp, tmp_path / "out.jpg", "--rate", rate)
    jpeg = (tmp_path / "out.jpg").read_bytes()
    assert dctlab.encode_jpeg(rgb, rate) == jpeg
    run("decode", tmp_path / "out.jpg", tmp_path / "decoded.bmp")
    decoded, file_rate = dctlab.decode_jpeg(jpeg)
    assert file_rate == rate
    assert np.array_equal(decoded, dctlab.read_bmp(tmp_path / "decoded.bmp"))


def test_rows_turn_at_the_edge_only(tmp_path):
    # The record keeps the BMP's bottom row first: the package shows the top
    # row first, and the planes follow the pixels.
    rgb = np.zeros((16, 16, 3), np.uint8)
    rgb[0] = (255, 0, 0)  # top row red
    y, cb, cr = dctlab.rgb_to_ycbcr(rgb)
    assert y[0, 0] > y[-1, 0] and cr[0, 0] > cr[-1, 0]
    dctlab.write_bmp(tmp_path / "red.bmp", rgb)
    pixels = (tmp_path / "red.bmp").read_bytes()[54:]
    assert pixels[-48:-45] == bytes((0, 0, 255))  # the file's last row is the top one


def test_other_layouts_are_copied_not_refused():
    rgb = picture(20, 30)
    turned = rgb[:, ::-1]
    assert not turned.flags.c_contiguous
    for got, want in zip(dctlab.rgb_to_ycbcr(turned), dctlab.rgb_to_ycbcr(turned.copy())):
        assert np.array_equal(got, want)


def test_psnr_is_the_programs_measure():
    a = picture(10, 12)
    b = a.copy()
    b[0, 0, 0] ^= 1
    b[5, 5, 2] ^= 8
    mse = (1 + 64) / a.size
    assert dctlab.psnr(a, b) == pytest.approx(10 * np.log10(255 ** 2 / mse), abs=1e-12)
    assert dctlab.psnr(a, a) == float("inf")


def test_quantisation_matrix_and_zigzag_order():
    r, c = np.mgrid[0:8, 0:8]
    for rate in (0, 1, 18, 2340):
        q = dctlab.quant_matrix(rate)
        assert q.dtype == np.int16 and np.array_equal(q, rate * (r + c) + 1)
    order = dctlab.zigzag_order()
    assert sorted(order) == list(range(64))
    assert list(order[:10]) == [0, 1, 8, 16, 9, 2, 3, 10, 17, 24]
    # The coefficients of a flat block: only the first in zigzag order, the DC.
    y = np.full((8, 8), 200, np.int16)
    cb = cr = np.full((4, 4), 128, np.int16)
    ycoef = dctlab.forward(y, cb, cr, 0)[0][0]
    natural = np.zeros(64, np.int16)
    natural[order] = ycoef
    assert natural[0] != 0 and not natural[1:].any()


def optimal_cost(counts):
    heap = [c for c in counts if c > 0]
    heapq.heapify(heap)
    cost = 0
    while len(heap) > 1:
        s = heapq.heappop(heap) + heapq.heappop(heap)
        cost += s
        heapq.heappush(heap, s)
    return cost


@pytest.mark.parametrize("seed", range(4))
def test_huffman_code_is_an_optimal_prefix_code(seed):
    rng = np.random.default_rng(seed)
    counts = rng.integers(0, 1000, 256) * (rng.random(256) < 0.6)
    lengths, codes = dctlab.huffman_code(counts)
    used = counts > 0
    assert (lengths[~used] == 0).all()
    assert int((counts * lengths).sum()) == optimal_cost(counts)
    words = sorted(format(int(c), f"0{int(n)}b") for c, n in zip(codes[used], lengths[used]))
    assert all(not b.startswith(a) for a, b in zip(words, words[1:]))


@pytest.mark.parametrize(
    "data",
    [b"", b"x", b"a" * 100000, bytes(range(256)) * 50, np.random.default_rng(3).bytes(70000)],
    ids=["empty", "one", "one-value", "all-values", "random"],
)
def test_pack_is_the_programs_container(tmp_path, data):
    (tmp_path / "in").write_bytes(data)
    run("pack", tmp_path / "in", tmp_path / "in.dlhf")
    packed = dctlab.pack(data)
    assert packed == (tmp_path / "in.dlhf").read_bytes()
    assert dctlab.unpack(packed) == data
    assert dctlab.unpack(memoryview(packed)) == data


GOOD = picture(9, 7)
Y, CB, CR = dctlab.rgb_to_ycbcr(GOOD)
COEF = dctlab.forward(Y, CB, CR, 10)
JPEG = dctlab.encode_jpeg(GOOD, 10)
PACKED = dctlab.pack(b"some bytes to pack " * 10)

REFUSALS = [
    ("rgb dtype", lambda: dctlab.rgb_to_ycbcr(GOOD.astype(np.int16)), "dtype uint8"),
    ("rgb dims", lambda: dctlab.rgb_to_ycbcr(GOOD[:, :, 0]), "3 dimensions"),
    ("rgb channels", lambda: dctlab.encode_jpeg(GOOD[:, :, :2], 10), "(h, w, 3)"),
    ("rgb empty", lambda: dctlab.rgb_to_ycbcr(np.zeros((0, 4, 3), np.uint8)), "no pixels"),
    ("rgb list", lambda: dctlab.write_bmp("never.bmp", [[1, 2, 3]]), "dtype uint8"),
    ("plane dtype", lambda: dctlab.forward(Y.astype(np.float64), CB, CR, 1), "dtype int16"),
    ("chroma shape", lambda: dctlab.ycbcr_to_rgb(Y, CB[:-1], CR), "must have shape (5, 4)"),
    ("rate high", lambda: dctlab.forward(Y, CB, CR, 2341), "outside 0 to 2340"),
    ("rate negative", lambda: dctlab.quant_matrix(-1), "outside 0 to 2340"),
    ("inverse rate", lambda: dctlab.inverse(*COEF, 7, 9, 256), "outside 0 to 255"),
    ("block counts", lambda: dctlab.inverse(COEF[0][:1], COEF[1], COEF[2], 7, 9, 10), "ERROR:"),
    ("block width", lambda: dctlab.inverse(COEF[0][:, :63], COEF[1], COEF[2], 7, 9, 10), "64"),
    ("no size", lambda: dctlab.inverse(*COEF, 0, 9, 10), "no pixels"),
    ("jpeg cut", lambda: dctlab.decode_jpeg(JPEG[: len(JPEG) // 2]), "ERROR: Damaged JPEG"),
    ("jpeg junk", lambda: dctlab.decode_jpeg(b"\x00" * 64), "ERROR:"),
    ("jpeg rate", lambda: dctlab.decode_jpeg(dctlab.encode_jpeg(GOOD, 300)), "above 255"),
    ("pack cut", lambda: dctlab.unpack(PACKED[:-3]), ""),
    ("pack junk", lambda: dctlab.unpack(b"DLHF" + b"\x09" * 20), ""),
    ("psnr shapes", lambda: dctlab.psnr(GOOD, GOOD[1:]), "one shape"),
    ("counts", lambda: dctlab.huffman_code(np.ones(255, np.int64)), "256 integers"),
    ("counts sign", lambda: dctlab.huffman_code(-np.ones(256, np.int64)), "negative"),
    ("counts sum", lambda: dctlab.huffman_code(np.full(256, 2**24, np.int64)), "2^31"),
]


@pytest.mark.parametrize("name,call,message", REFUSALS, ids=[r[0] for r in REFUSALS])
def test_bad_input_raises_value_error_and_prints_nothing(capfd, name, call, message):
    with pytest.raises(ValueError) as raised:
        call()
    assert message in str(raised.value)
    assert str(raised.value)
    out, _ = capfd.readouterr()
    assert out == ""


def test_files_raise_os_error_with_the_librarys_line(tmp_path, capfd):
    with pytest.raises(OSError, match="ERROR: Can't open file for reading!"):
        dctlab.read_bmp(tmp_path / "missing.bmp")
    (tmp_path / "short.bmp").write_bytes(b"BM\x00\x00")
    with pytest.raises(OSError, match="ERROR:"):
        dctlab.read_bmp(tmp_path / "short.bmp")
    with pytest.raises(OSError):
        dctlab.write_bmp(tmp_path / "no" / "such" / "folder.bmp", GOOD)
    assert capfd.readouterr().out == ""
