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
        case AVERROR(EISDIR): return "es una carpeta";
        case AVERROR(ENOTDIR): return "una parte de la ruta no es una carpeta";
        case AVERROR(ENAMETOOLONG): return "el nombre es demasiado largo";
        case AVERROR(ELOOP): return "la ruta tiene demasiados enlaces simbólicos";
        case AVERROR(EEXIST): return "el archivo ya existe";
        case AVERROR(EBUSY):
        case AVERROR(ETXTBSY): return "el archivo está ocupado";
        case AVERROR(EMFILE):
        case AVERROR(ENFILE): return "hay demasiados archivos abiertos";
        case AVERROR(ENXIO):
        case AVERROR(ENODEV): return "el dispositivo no existe";
        case AVERROR(EPIPE): return "el otro extremo se cerró";
        case AVERROR(EAGAIN): return "el recurso no está disponible ahora";
        case AVERROR(EINVAL): return "argumento no válido";
        case AVERROR(ENOSYS):
        case AVERROR(EOPNOTSUPP): return "operación no admitida";
        case AVERROR_INVALIDDATA: return "datos no válidos";
        case AVERROR_EOF: return "fin del archivo";
        case AVERROR_ENCODER_NOT_FOUND: return "falta el codificador";
        case AVERROR_MUXER_NOT_FOUND: return "falta el formato de archivo";
        case AVERROR_PATCHWELCOME: return "FFmpeg no admite esa operación";
        case AVERROR_EXTERNAL: return "falló una biblioteca externa";
        case AVERROR_BUG:
        case AVERROR_BUG2: return "error interno de FFmpeg";
        default: break;
    }
    // The code itself goes beside the text wherever the error is shown.
    return "error desconocido de FFmpeg";
}

}  // namespace platform::ffmpeg
