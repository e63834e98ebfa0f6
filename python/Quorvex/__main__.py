"""python -m Quorvex: a short demonstration on an image built in memory."""

from Quorvex.simpleImage_ext import SimpleImage


def main():
    width, height = 4, 3
    img = SimpleImage(width, height, bytes(width * height * 3))
    for x in range(width):
        img.putPixel((x, x % height), (60 * x, 255 - 60 * x, 128))
    print(f"image {img.size[0]}x{img.size[1]}")
    for y in range(height):
        print(" ".join("%02x%02x%02x" % img.getPixel((x, y)) for x in range(width)))


if __name__ == "__main__":
    main()
