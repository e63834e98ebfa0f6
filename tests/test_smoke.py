from Quorvex.simpleImage_ext import SimpleImage


def test_pixel():
    assert SimpleImage(1, 1, b"abc").getPixel((0, 0)) == (97, 98, 99)
