#include "platform/linux/writer/ffmpeg_handles.h"

#include <cerrno>

namespace platform::ffmpeg {

void FormatContextDeleter::operator()(AVFormatContext* context) const {
    if (context->pb && !(context->oformat && (context->oformat->flags & AVFMT_NOFILE))) avio_closep(&context->pb);
    avformat_free_context(context);
}

std::string errorText(int averror) {
    switch (averror) {
        case AVERROR(EFBIG): return "el archivo supera el tamaño máximo permitido";
        case AVERROR(ENOSPC): return "no queda espacio en el disco";
        case AVERROR(EDQUOT): return "se ha superado la cuota de disco";
        case AVERROR(EIO): return "error de entrada/salida del disco";
        case AVERROR(EACCES):
        case AVERROR(EPERM): return "permiso denegado";
        case AVERROR(EROFS): return "el disco es de solo lectura";
        case AVERROR(ENOENT): return "la carpeta no existe";
        case AVERROR(ENOMEM): return "no hay memoria suficiente";
        default: break;
    }
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(averror, text, sizeof text);
    return "error de FFmpeg " + std::to_string(averror) + " (" + text + ")";
}

}  // namespace platform::ffmpeg
