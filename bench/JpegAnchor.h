#pragma once

// The anchor of the preview benchmarks: a full-size decode of a JPEG to RGB by libjpeg-turbo, as
// its command-line decoder does, without writing the result.

#include <QByteArray>
#include <QElapsedTimer>

#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace bench {

// Milliseconds.
inline double libjpegDecodeMs(const QByteArray &bytes)
{
    QElapsedTimer timer;
    timer.start();
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    info.err = jpeg_std_error(&errors);
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char *>(bytes.constData()), bytes.size());
    jpeg_read_header(&info, TRUE);
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    const size_t stride = size_t(info.output_width) * info.output_components;
    std::vector<unsigned char> pixels(stride * info.output_height);
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = pixels.data() + stride * info.output_scanline;
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace bench
