"""Image masking and selective grayscale: kernels, convenience entries, NumPy version."""
import inspect
import os
import subprocess
import sys
import threading
import traceback
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kestrune
from conftest import RED_YELLOW, SubInt, as_record, colour_test, random_image

# A matrix entry past 16 bits, so the vector paths take their 32-bit form.
WIDE = {"M": [70000, -256, 3, -5, 256, -99999, 85, 85, 85], "i": (-(2**31), 2**31 - 1), "c": (-(2**31), 2**31 - 1)}
KERNELS = [kestrune.mask_image_cy_impl, kestrune.selective_grayscale_impl]
ENTRIES = [kestrune.mask_image, kestrune.selective_grayscale]


def reference(image, bounds, selective):
    """What the kernels write: the test's 1 or 0, or the grey byte or 0."""
    inside, v2 = colour_test(image, bounds)
    out = ((v2 >> 8) & 0xFF) * inside if selective else inside
    return out.astype(np.uint8)


@pytest.mark.parametrize(
    "pixel, mask, grey",
    [
        ((200, 100, 50), 1, 116),  # floor(85 * 350 / 256)
        ((200, 200, 50), 0, 0),  # outside the hue sector
        ((0, 0, 0), 0, 0),
    ],
)
def test_worked_pixels(pixel, mask, grey):
    image = np.array([[pixel]], dtype=np.uint8)
    assert kestrune.mask_image(image, RED_YELLOW)[0, 0] == mask
    assert kestrune.selective_grayscale(image, RED_YELLOW)[0, 0] == grey


def test_inside_pixel_with_small_intensity_sum_is_grey_zero():
    bounds = {"M": [1, -1, 0, 0, 1, -1, 1, 1, 1], "i": (-1, 1000), "c": (0, 1000)}
    image = np.array([[(3, 2, 1)]], dtype=np.uint8)
    assert kestrune.mask_image(image, bounds)[0, 0] == 1
    assert kestrune.selective_grayscale(image, bounds)[0, 0] == 0


int32s = st.integers(-(2**31), 2**31 - 1)
matrix_entries = st.one_of(st.integers(-600, 600), st.integers(-40000, 40000), int32s)


@st.composite
def bounds_strategy(draw):
    limits = [sorted(draw(st.lists(st.one_of(st.integers(-(2**18), 2**18), int32s), min_size=2, max_size=2)))
              for _ in range(2)]
    return {"M": draw(st.lists(matrix_entries, min_size=9, max_size=9)), "i": tuple(limits[0]),
            "c": tuple(limits[1])}


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(bounds=bounds_strategy(), h=st.integers(1, 5), w=st.integers(1, 40), seed=st.integers(0, 2**16))
def test_native_numpy_and_reference_agree(bounds, h, w, seed):
    image = random_image(h, w, seed)
    mask = kestrune.mask_image(image, bounds)
    assert np.array_equal(mask, reference(image, bounds, selective=False))
    assert np.array_equal(kestrune.mask_image_py(image, as_record(bounds)), mask * 255)
    grey = kestrune.selective_grayscale(image, bounds)
    assert np.array_equal(grey, reference(image, bounds, selective=True))
    assert not np.any(grey[mask == 0])


def layouts(image):
    big = np.zeros((image.shape[0] * 2 + 1, image.shape[1] + 3, 4), dtype=np.uint8)
    big[1::2, 2:-1, :3] = image
    rev = np.ascontiguousarray(image[::-1])
    return {
        "row strided with 4-byte pixels": (big[1::2, 2:-1, :3], image),
        "reversed rows": (rev[::-1], image),
        "reversed columns": (image[:, ::-1], np.ascontiguousarray(image[:, ::-1])),
        "crop": (image[1:-1, 3:-2], np.ascontiguousarray(image[1:-1, 3:-2])),
    }


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("bounds", [RED_YELLOW, WIDE])
@pytest.mark.parametrize("layout", ["row strided with 4-byte pixels", "reversed rows", "reversed columns", "crop"])
def test_strided_inputs_and_outputs_equal_packed_copies(kernel, bounds, layout):
    image, packed = layouts(random_image(9, 70, seed=3))[layout]
    h, w = packed.shape[:2]
    expected = np.zeros((h, w), dtype=np.uint8)
    assert kernel(packed, expected, bounds) == h * w
    # The output is a window of a larger array, rows reversed: bytes around it stay.
    canvas = np.full((h + 2, w + 5), 77, dtype=np.uint8)
    window = canvas[h:0:-1, 2 : 2 + w]
    assert kernel(image, window, bounds) == h * w
    assert np.array_equal(window, expected)
    outside = canvas.copy()
    outside[h:0:-1, 2 : 2 + w] = 77
    assert np.all(outside == 77)


def test_output_larger_than_image_keeps_its_other_bytes():
    image = random_image(4, 5)
    buf = np.full((6, 9), 9, dtype=np.uint8)
    assert kestrune.mask_image(image, RED_YELLOW, buf) is buf
    assert np.array_equal(buf[:4, :5], kestrune.mask_image(image, RED_YELLOW))
    assert np.all(buf[4:] == 9) and np.all(buf[:, 5:] == 9)


def huge_image():
    # 65536 x 65536 pixels sharing one row of memory: 2**32 pixels.
    row = np.zeros((1, 65536, 3), dtype=np.uint8)
    return np.lib.stride_tricks.as_strided(row, (65536, 65536, 3), (0, 3, 1), writeable=True)


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize(
    "make_args, message",
    [
        (lambda: (np.zeros((4, 5, 4), np.uint8), np.full((4, 5), 7, np.uint8)), "_image must have exactly 3 channels"),
        (lambda: (random_image(4, 5), np.full((3, 5), 7, np.uint8)), "_output must have at least 4 rows"),
        (lambda: (random_image(4, 5), np.full((4, 4), 7, np.uint8)), "_output must have at least 5 columns"),
        (lambda: (random_image(4, 5), None), "_output must have at least 4 rows"),
    ],
)
def test_refused_views_write_nothing(kernel, make_args, message):
    image, output = make_args()
    before = None if output is None else output.copy()
    with pytest.raises(ValueError, match=message):
        kernel(image, output, RED_YELLOW)
    if output is not None:
        assert np.array_equal(output, before)


@pytest.mark.parametrize("kernel", KERNELS)
def test_image_of_2_to_the_32_pixels_is_refused(kernel):
    # The output covers the image through zero strides too; nothing may be written.
    cell = np.full((1, 65536), 7, dtype=np.uint8)
    output = np.lib.stride_tricks.as_strided(cell, (65536, 65536), (0, 1), writeable=True)
    with pytest.raises(ValueError, match="fewer than 2\\*\\*32 pixels"):
        kernel(huge_image(), output, RED_YELLOW)
    assert np.all(cell == 7)


@pytest.mark.parametrize("kernel", KERNELS)
def test_no_pixels_means_count_zero_and_nothing_written(kernel):
    out = np.full((3, 3), 5, dtype=np.uint8)
    assert kernel(None, out, RED_YELLOW) == 0
    assert kernel(np.zeros((0, 3, 3), np.uint8), out, RED_YELLOW) == 0
    assert kernel(np.zeros((3, 0, 7), np.uint8), None, RED_YELLOW) == 0
    assert np.all(out == 5)


@pytest.mark.parametrize("kernel", KERNELS)
def test_count_is_pixels_processed_not_pixels_set(kernel):
    out = np.ones((6, 7), dtype=np.uint8)
    assert kernel(np.zeros((6, 7, 3), np.uint8), out, RED_YELLOW) == 42
    assert not out.any()


@pytest.mark.parametrize("entry", ENTRIES)
def test_entries_allocate_or_return_the_given_buffer(entry):
    image = random_image(5, 6)
    first, second = entry(image, RED_YELLOW), entry(image, RED_YELLOW, None)
    assert first is not second and first.dtype == np.uint8 and first.shape == (5, 6)
    assert np.array_equal(first, second)
    buf = np.full((5, 6), 200, dtype=np.uint8)
    assert entry(image, RED_YELLOW, buf) is buf
    assert np.array_equal(buf, first)
    assert entry(np.zeros((0, 4, 3), np.uint8), RED_YELLOW).shape == (0, 4)


@pytest.mark.parametrize("entry", ENTRIES)
def test_record_and_mapping_bounds_write_the_same(entry):
    image = random_image(6, 33, seed=5)
    assert np.array_equal(entry(image, as_record(RED_YELLOW)), entry(image, RED_YELLOW))


@pytest.mark.parametrize("kernel", KERNELS)
def test_kernels_take_only_mappings(kernel):
    with pytest.raises(TypeError):
        kernel(random_image(2, 2), np.zeros((2, 2), np.uint8), as_record(RED_YELLOW))


def test_entry_without_shape_raises_attribute_error():
    with pytest.raises(AttributeError):
        kestrune.mask_image([[[1, 2, 3]]], RED_YELLOW)


def test_mask_image_py_bounds_must_unpack_into_three():
    with pytest.raises(ValueError, match="unpack"):
        kestrune.mask_image_py(random_image(2, 2), (RED_YELLOW["M"], RED_YELLOW["i"]))


@pytest.mark.parametrize("entry, kernel_name", list(zip(ENTRIES, ["mask_image_cy_impl", "selective_grayscale_impl"])))
def test_entries_call_the_kernel_not_the_module_attribute(monkeypatch, entry, kernel_name):
    monkeypatch.setattr(kestrune, kernel_name, lambda *args: pytest.fail("module attribute used"))
    assert entry(np.array([[(200, 100, 50)]], np.uint8), RED_YELLOW)[0, 0] in (1, 116)


@pytest.mark.parametrize("entry", ENTRIES)
def test_entries_read_np_and_the_record_class_from_the_module_at_each_call(monkeypatch, entry):
    shapes = []

    class CountingNumpy:
        def __getattr__(self, name):
            return getattr(np, name)

        def zeros(self, shape, dtype):
            shapes.append(shape)
            return np.zeros(shape, dtype)

    image = np.array([[(200, 100, 50)]], np.uint8)
    monkeypatch.setattr(kestrune, "np", CountingNumpy())
    entry(image, RED_YELLOW)
    assert shapes == [(1, 1)]
    monkeypatch.setattr(kestrune, "LCHBounds", dict)  # now a dict is "the record" and lacks _asdict
    with pytest.raises(AttributeError, match="_asdict"):
        entry(image, RED_YELLOW)


class IntReturnsSubInt:
    def __int__(self):
        return SubInt(0)


@pytest.mark.parametrize("entry", ENTRIES)
def test_entries_leave_warnings_and_tracebacks_naming_the_caller(entry):
    # As from a C function: nothing points into the module's own source.
    image = np.array([[(200, 100, 50)]], np.uint8)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        entry(image, {**RED_YELLOW, "M": [IntReturnsSubInt()] + [0] * 8})
    assert [(w.category, w.filename) for w in caught] == [(DeprecationWarning, __file__)]
    with pytest.raises(ValueError) as raised:
        entry(image.astype(np.float64), RED_YELLOW)
    assert {frame.filename for frame in traceback.extract_tb(raised.value.__traceback__)} == {__file__}


def test_two_threads_run_the_kernels_at_once_correctly():
    images = [random_image(300, 401, seed=s) for s in (1, 2)]
    expected = [reference(img, RED_YELLOW, selective=bool(k)) for k, img in enumerate(images)]
    failures = []

    def work(k):
        out = np.empty(images[k].shape[:2], np.uint8)
        for _ in range(20):
            KERNELS[k](images[k], out, RED_YELLOW)
            if not np.array_equal(out, expected[k]):
                failures.append(k)

    threads = [threading.Thread(target=work, args=(k,)) for k in (0, 1)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


SIMD_PROBE = """
import hashlib, numpy as np, kestrune
rng = np.random.default_rng(11)
digest = hashlib.sha256()
for w in (1, 15, 33, 257):
    image = rng.integers(0, 256, (7, w, 3), dtype=np.uint8)
    for bounds in ({RED_YELLOW!r}, {WIDE!r}):
        digest.update(kestrune.mask_image(image, bounds).tobytes())
        digest.update(kestrune.selective_grayscale(image, bounds).tobytes())
print(digest.hexdigest())
"""


def test_forcing_the_scalar_path_gives_identical_bytes():
    code = SIMD_PROBE.format(RED_YELLOW=RED_YELLOW, WIDE=WIDE)
    env = dict(os.environ)
    results = []
    for level in (None, "scalar"):
        if level is None:
            env.pop("KESTRUNE_SIMD", None)
        else:
            env["KESTRUNE_SIMD"] = level
        run = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
        results.append(run.stdout)
    assert results[0] == results[1] != ""


# Outputs laid over the image's own bytes. The kernels walk the pixels in order,
# so each pixel is tested as the bytes stand after every earlier pixel's output
# was stored: one right answer, which every level must give.
HALF = {"M": [1, 0, 0, 0, 1, 0, 1, 1, 1], "i": (-1, 1000), "c": (64, 400)}


def overlapping_layouts(rng):
    """(name, buffer, image, output): image and output are views of the one buffer."""
    flat = rng.integers(0, 256, 51, dtype=np.uint8)
    yield "1 x 17 over its own first 17 bytes", flat, flat.reshape(1, 17, 3), flat[:17].reshape(1, 17)
    flat = rng.integers(0, 256, 120, dtype=np.uint8)
    yield "1 x 40, output from byte 30", flat, flat.reshape(1, 40, 3), flat[30:70].reshape(1, 40)
    rows = rng.integers(0, 256, (5, 33 * 3 + 4), dtype=np.uint8)
    yield "padded rows over their own first bytes", rows, rows[:, :99].reshape(5, 33, 3), rows[:, :33]
    rows = rng.integers(0, 256, (4, 62), dtype=np.uint8)
    yield "reversed rows", rows, rows[::-1, :60].reshape(4, 20, 3), rows[::-1, 10:30]
    rows = rng.integers(0, 256, (3, 51), dtype=np.uint8)
    yield "reversed columns", rows, rows.reshape(3, 17, 3)[:, ::-1], rows[:, 20:37]
    flat = rng.integers(0, 256, 96, dtype=np.uint8)
    yield "2 x 16 packed, output from the middle", flat, flat.reshape(2, 16, 3), flat[40:72].reshape(2, 16)


# Runs both kernels on every layout and prints each buffer afterwards.
OVERLAP_PROBE = f"""
import numpy as np, kestrune
{inspect.getsource(overlapping_layouts)}
rng = np.random.default_rng(5)
for kernel in (kestrune.mask_image_cy_impl, kestrune.selective_grayscale_impl):
    for name, buf, image, out in overlapping_layouts(rng):
        kernel(image, out, {HALF!r})
        print(kernel.__name__, name, buf.tobytes().hex(), sep=":")
"""


def in_order(image, out, bounds, selective):
    """The pixel loop in Python, over views of one buffer: each read sees every earlier store."""
    for y in range(image.shape[0]):
        for x in range(image.shape[1]):
            out[y, x] = reference(image[y : y + 1, x : x + 1].copy(), bounds, selective)[0, 0]


def test_outputs_overlapping_the_image_give_the_in_order_bytes_at_every_level():
    rng = np.random.default_rng(5)
    expected = []
    for kernel, selective in (("mask_image_cy_impl", False), ("selective_grayscale_impl", True)):
        for name, buf, image, out in overlapping_layouts(rng):
            in_order(image, out, HALF, selective)
            expected.append(f"{kernel}:{name}:{buf.tobytes().hex()}")
    env = dict(os.environ)
    # Names of levels the machine lacks, or of another architecture, run the
    # best level: every level this machine has is covered either way.
    for level in ("scalar", "sse41", "avx2", "avx512bw", "avx512", "neon", None):
        if level is None:
            env.pop("KESTRUNE_SIMD", None)
        else:
            env["KESTRUNE_SIMD"] = level
        run = subprocess.run([sys.executable, "-c", OVERLAP_PROBE], env=env, capture_output=True, text=True, check=True)
        got = run.stdout.splitlines()
        assert len(got) == len(expected)
        for g, e in zip(got, expected):
            assert g == e, f"KESTRUNE_SIMD={level}"
