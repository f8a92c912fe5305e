// decode_bench: decodes a PNG or a JPEG to nothing and exits, as the floor
// that codec_bench.py holds the tool's conversion of the same file against.
// It decodes as the tool's readers do: a PNG through libspng, row by row in
// the file's own sample format; a JPEG through libjpeg-turbo's scanline API
// with its defaults (accurate integer DCT, fancy upsampling), out as RGB, or
// grey for a grey file. The format is told by the first bytes.
//
//   decode_bench IN.png|IN.jpg
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

// libjpeg's header wants FILE and size_t declared first.
#include <jpeglib.h>
#include <spng.h>

namespace {

int decode_png(std::FILE* in) {
    spng_ctx* ctx = spng_ctx_new(0);
    if (ctx == nullptr) return 1;
    int error = spng_set_png_file(ctx, in);
    spng_ihdr ihdr{};
    if (error == 0) error = spng_get_ihdr(ctx, &ihdr);
    std::size_t size = 0;
    if (error == 0) error = spng_decoded_image_size(ctx, SPNG_FMT_PNG, &size);
    if (error == 0 && ihdr.interlace_method != 0) {
        std::fprintf(stderr, "decode_bench: an interlaced PNG; this floor is for rows in order\n");
        spng_ctx_free(ctx);
        return 1;
    }
    if (error == 0) error = spng_decode_image(ctx, nullptr, 0, SPNG_FMT_PNG, SPNG_DECODE_PROGRESSIVE);
    std::vector<unsigned char> row(error == 0 ? size / ihdr.height : 0);
    for (std::uint32_t y = 0; error == 0 && y < ihdr.height; ++y) {
        error = spng_decode_row(ctx, row.data(), row.size());
        if (error == SPNG_EOI && y + 1 == ihdr.height) error = 0;
    }
    if (error != 0) std::fprintf(stderr, "decode_bench: %s\n", spng_strerror(error));
    spng_ctx_free(ctx);
    return error == 0 ? 0 : 1;
}

// libjpeg's default error handler prints its message and exits: enough here.
int decode_jpeg(std::FILE* in) {
    jpeg_decompress_struct d{};
    jpeg_error_mgr err{};
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_stdio_src(&d, in);
    jpeg_read_header(&d, TRUE);
    d.out_color_space = d.jpeg_color_space == JCS_GRAYSCALE ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_start_decompress(&d);
    std::vector<unsigned char> row(static_cast<std::size_t>(d.output_width) * d.output_components);
    JSAMPROW rows[1] = {row.data()};
    while (d.output_scanline < d.output_height) jpeg_read_scanlines(&d, rows, 1);
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: decode_bench IN.png|IN.jpg\n");
        return 2;
    }
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    unsigned char magic[8] = {};
    const std::size_t got = std::fread(magic, 1, sizeof magic, in);
    std::rewind(in);
    static const unsigned char png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    int result = 2;
    if (got == sizeof magic && std::memcmp(magic, png, sizeof png) == 0)
        result = decode_png(in);
    else if (got >= 3 && magic[0] == 0xff && magic[1] == 0xd8 && magic[2] == 0xff)
        result = decode_jpeg(in);
    else
        std::fprintf(stderr, "decode_bench: %s is neither a PNG nor a JPEG\n", argv[1]);
    std::fclose(in);
    return result;
}
