#include "platform/linux/writer/plain_mp4.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "platform/linux/writer/ffmpeg_handles.h"

namespace platform::writer {

namespace {

// The demuxer reads the file through this descriptor rather than by name, so what it
// reads is the file that was checked, whatever the path names meanwhile.
class FileReader {
public:
    explicit FileReader(int fd) : fd_(fd) {}
    ~FileReader() {
        if (context_) {
            av_freep(&context_->buffer);
            avio_context_free(&context_);
        }
        ::close(fd_);
    }
    FileReader(const FileReader&) = delete;
    FileReader& operator=(const FileReader&) = delete;

    AVIOContext* context() {
        constexpr int kBufferSize = 64 * 1024;
        auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
        if (!buffer) return nullptr;
        context_ = avio_alloc_context(buffer, kBufferSize, 0, this, read, nullptr, seek);
        if (!context_) av_free(buffer);
        return context_;
    }

private:
    static int read(void* self, uint8_t* buffer, int size) {
        const int fd = static_cast<FileReader*>(self)->fd_;
        ssize_t n;
        do n = ::read(fd, buffer, static_cast<size_t>(size));
        while (n < 0 && errno == EINTR);
        if (n < 0) return AVERROR(errno);
        return n == 0 ? AVERROR_EOF : static_cast<int>(n);
    }
    static int64_t seek(void* self, int64_t offset, int whence) {
        const int fd = static_cast<FileReader*>(self)->fd_;
        if (whence == AVSEEK_SIZE) {
            struct stat info {};
            return ::fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : AVERROR(errno);
        }
        const off_t at = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
        return at < 0 ? AVERROR(errno) : static_cast<int64_t>(at);
    }

    const int fd_;
    AVIOContext* context_ = nullptr;
};

}  // namespace

std::optional<std::string> rewriteAsPlainMp4(const std::string& path, const FileIdentity& own) {
    using namespace ffmpeg;
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string temporary = folder + "." + name + ".completo";

    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string("no se pudo leer el archivo");
    // Declared before the demuxer, so that it outlives it.
    FileReader reader(fd);
    if (identityOf(fd) != own) return std::string("el archivo ya no es el de esta grabación");
    AVFormatContext* rawInput = avformat_alloc_context();
    if (!rawInput) return std::string("no hay memoria suficiente");
    rawInput->pb = reader.context();
    if (!rawInput->pb) {
        avformat_free_context(rawInput);
        return std::string("no hay memoria suficiente");
    }
    rawInput->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (int result = avformat_open_input(&rawInput, nullptr, nullptr, nullptr); result < 0)
        return "no se pudo leer el archivo: " + errorText(result);
    InputContextPtr input(rawInput);

    AVFormatContext* rawOutput = nullptr;
    if (int result = avformat_alloc_output_context2(&rawOutput, nullptr, "mp4", temporary.c_str()); result < 0)
        return "no se pudo preparar el archivo: " + errorText(result);
    FormatContextPtr output(rawOutput);
    std::vector<int> streamMap(input->nb_streams, -1);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        AVStream* in = input->streams[i];
        if (in->codecpar->codec_type != AVMEDIA_TYPE_VIDEO && in->codecpar->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        AVStream* out = avformat_new_stream(output.get(), nullptr);
        if (!out) return "no hay memoria suficiente";
        if (int result = avcodec_parameters_copy(out->codecpar, in->codecpar); result < 0) return errorText(result);
        out->codecpar->codec_tag = 0;
        // The demuxer leaves it unset; the muxer wants it for the sound's timing.
        if (out->codecpar->codec_id == AV_CODEC_ID_AAC && out->codecpar->frame_size == 0)
            out->codecpar->frame_size = 1024;
        out->time_base = in->time_base;
        streamMap[i] = out->index;
    }
    if (int result = avio_open(&output->pb, temporary.c_str(), AVIO_FLAG_WRITE); result < 0)
        return "no se pudo crear el archivo: " + errorText(result);

    auto fail = [&](const std::string& text) -> std::optional<std::string> {
        output.reset();
        std::remove(temporary.c_str());
        return text;
    };
    if (int result = avformat_write_header(output.get(), nullptr); result < 0)
        return fail("no se pudo escribir el archivo: " + errorText(result));
    // The demuxer does not give a fragmented file's sample durations (it guesses them
    // from the frame rate), and in an ordinary MP4 they are what places each sample:
    // each packet waits for the next one of its stream, whose time gives its
    // duration; the last one ends where the stream ends (a still screen's last frame
    // lasts until the end).
    std::vector<PacketPtr> waiting(input->nb_streams);
    auto write = [&](PacketPtr& packet, int64_t end) -> int {
        const int source = packet->stream_index;
        if (end != AV_NOPTS_VALUE && packet->dts != AV_NOPTS_VALUE && end > packet->dts) packet->duration = end - packet->dts;
        av_packet_rescale_ts(packet.get(), input->streams[source]->time_base, output->streams[streamMap[source]]->time_base);
        packet->stream_index = streamMap[source];
        packet->pos = -1;
        const int result = av_interleaved_write_frame(output.get(), packet.get());
        packet.reset();
        return result;
    };
    for (;;) {
        PacketPtr packet(av_packet_alloc());
        if (!packet) return fail("no hay memoria suficiente");
        int result = av_read_frame(input.get(), packet.get());
        if (result == AVERROR_EOF) break;
        if (result < 0) return fail("no se pudo leer el archivo: " + errorText(result));
        const int source = packet->stream_index;
        if (streamMap[source] < 0) continue;
        if (waiting[source] && (result = write(waiting[source], packet->dts)) < 0)
            return fail("no se pudo escribir el archivo: " + errorText(result));
        waiting[source] = std::move(packet);
    }
    for (unsigned i = 0; i < input->nb_streams; ++i) {
        if (!waiting[i]) continue;
        const AVStream* in = input->streams[i];
        const int64_t end = in->duration != AV_NOPTS_VALUE && in->start_time != AV_NOPTS_VALUE
                                ? in->start_time + in->duration
                                : AV_NOPTS_VALUE;
        if (int result = write(waiting[i], end); result < 0)
            return fail("no se pudo escribir el archivo: " + errorText(result));
    }
    if (int result = av_write_trailer(output.get()); result < 0)
        return fail("no se pudo escribir el archivo: " + errorText(result));
    if (int result = avio_closep(&output->pb); result < 0)
        return fail("no se pudo escribir el archivo: " + errorText(result));
    output.reset();
    input.reset();
    // The recording's claim keeps other recordings away; this keeps the complete copy
    // from replacing a file that someone else put there meanwhile.
    if (identityAt(path) != own) {
        std::remove(temporary.c_str());
        return std::string("el archivo ya no es el de esta grabación");
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return std::string("no se pudo sustituir el archivo");
    }
    return std::nullopt;
}

}  // namespace platform::writer
