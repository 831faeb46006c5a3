#pragma once

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

#include "model/Logging.h"

// libjpeg's error handling for one compress or decompress call. A fatal error goes through
// error_exit, which must not return: it jumps back to the caller's setjmp(jump) instead of
// ending the process. Other messages go to the "halvane.ingest" category as debug output.
struct JpegErrors {
    jpeg_error_mgr mgr;
    std::jmp_buf jump;

    // For the `err` member of a jpeg_compress_struct or jpeg_decompress_struct.
    jpeg_error_mgr *install()
    {
        jpeg_std_error(&mgr);
        mgr.error_exit = fatal;
        mgr.output_message = message;
        return &mgr;
    }
    [[noreturn]] static void fatal(j_common_ptr info)
    {
        std::longjmp(reinterpret_cast<JpegErrors *>(info->err)->jump, 1);
    }
    static void message(j_common_ptr info)
    {
        char text[JMSG_LENGTH_MAX];
        info->err->format_message(info, text);
        qCDebug(lcIngest) << "libjpeg:" << text;
    }
};
