#include "platform/linux/writer/path_claim.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace platform::writer {

namespace {

// FNV-1a: a stable hash of the file's name, so that the socket name fits the
// address whatever the name's length.
uint64_t nameHash(const std::string& name) {
    uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

}  // namespace

std::optional<std::unique_ptr<PathClaim>> PathClaim::take(const std::string& path) {
    const std::filesystem::path file(path);
    std::filesystem::path folder = file.parent_path();
    if (folder.empty()) folder = ".";
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0) return std::unique_ptr<PathClaim>();

    char name[sizeof(sockaddr_un::sun_path)] = {};
    // The leading zero byte puts the name in the abstract namespace.
    const int length = std::snprintf(name + 1, sizeof name - 1, "zentori/grabando/%llx/%llx/%llx",
                                     static_cast<unsigned long long>(info.st_dev),
                                     static_cast<unsigned long long>(info.st_ino),
                                     static_cast<unsigned long long>(nameHash(file.filename().string())));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name, static_cast<size_t>(length) + 1);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::unique_ptr<PathClaim>();  // no sockets at all: nothing to coordinate with
    const auto size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + static_cast<size_t>(length));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), size) != 0) {
        const bool taken = errno == EADDRINUSE;
        ::close(fd);
        if (taken) return std::nullopt;
        return std::unique_ptr<PathClaim>();
    }
    return std::unique_ptr<PathClaim>(new PathClaim(fd));
}

PathClaim::~PathClaim() {
    if (socket_ >= 0) ::close(socket_);
}

std::optional<FileIdentity> identityAt(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino)};
}

std::optional<FileIdentity> identityOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return std::nullopt;
    return FileIdentity{static_cast<unsigned long long>(info.st_dev), static_cast<unsigned long long>(info.st_ino)};
}

}  // namespace platform::writer
