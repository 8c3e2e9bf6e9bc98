#include "platform/linux/capture/wayland/restore_tokens.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <map>
#include <string_view>

namespace platform::wayland {

namespace {

// File format, one line per display, nothing else:
//   zentori-portal-tokens 1\n            (first line: the format's name and version)
//   <displayID> <token>\n                (decimal ID; the token has no spaces)
constexpr std::string_view kHeader = "zentori-portal-tokens 1\n";
// A real file holds a few short lines; anything larger is not ours.
constexpr size_t kMaxFileSize = 64 * 1024;
constexpr size_t kMaxTokenSize = 512;

bool validToken(std::string_view token) {
    if (token.empty() || token.size() > kMaxTokenSize) return false;
    for (char c : token)
        if (static_cast<unsigned char>(c) <= ' ' || static_cast<unsigned char>(c) >= 0x7f) return false;
    return true;
}

std::optional<std::string> readWhole(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return std::nullopt;
    std::string text;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(chunk, static_cast<size_t>(n));
        if (text.size() > kMaxFileSize) {
            close(fd);
            return std::nullopt;
        }
    }
    close(fd);
    return text;
}

// The tokens in `text`; empty when anything in it is not as written by store.
std::map<uint32_t, std::string> parse(std::string_view text) {
    std::map<uint32_t, std::string> tokens;
    if (!text.starts_with(kHeader)) return {};
    text.remove_prefix(kHeader.size());
    while (!text.empty()) {
        const size_t end = text.find('\n');
        if (end == std::string_view::npos) return {};
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end + 1);
        const size_t space = line.find(' ');
        if (space == std::string_view::npos || space == 0 || space > 10) return {};
        uint64_t id = 0;
        for (char c : line.substr(0, space)) {
            if (c < '0' || c > '9') return {};
            id = id * 10 + static_cast<uint64_t>(c - '0');
        }
        const std::string_view token = line.substr(space + 1);
        if (id == 0 || id > UINT32_MAX || !validToken(token)) return {};
        tokens[static_cast<uint32_t>(id)] = std::string(token);
    }
    return tokens;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// mkdir -p with mode 0700 for the folders it creates.
bool makeFolders(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

}  // namespace

std::string restoreTokenPath() {
    const char* state = std::getenv("XDG_STATE_HOME");
    std::string base;
    // The XDG rules: a relative path is invalid and ignored.
    if (state && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') return {};
        base = std::string(home) + "/.local/state";
    }
    return base + "/zentori/portal-tokens";
}

std::optional<std::string> loadRestoreToken(uint32_t displayID) {
    const std::string path = restoreTokenPath();
    if (path.empty()) return std::nullopt;
    auto text = readWhole(path);
    if (!text) return std::nullopt;
    auto tokens = parse(*text);
    auto found = tokens.find(displayID);
    if (found == tokens.end()) return std::nullopt;
    return found->second;
}

bool storeRestoreToken(uint32_t displayID, const std::string& token) {
    const std::string path = restoreTokenPath();
    if (path.empty() || displayID == 0 || !validToken(token)) return false;
    const std::string folder = path.substr(0, path.rfind('/'));
    if (!makeFolders(folder)) return false;
    std::map<uint32_t, std::string> tokens;
    if (auto text = readWhole(path)) tokens = parse(*text);
    tokens[displayID] = token;
    std::string text(kHeader);
    for (const auto& [id, value] : tokens) text += std::to_string(id) + " " + value + "\n";

    // Written beside the file and renamed over it, so that a reader (another capture
    // starting at the same time) sees the old file or the new one, never half of one.
    // The name is unique per process; 0600 from creation on.
    const std::string aside = path + ".tmp." + std::to_string(getpid());
    const int fd = open(aside.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return false;
    const bool written = fchmod(fd, 0600) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    if (close(fd) != 0 || !written || rename(aside.c_str(), path.c_str()) != 0) {
        unlink(aside.c_str());
        return false;
    }
    return true;
}

}  // namespace platform::wayland
