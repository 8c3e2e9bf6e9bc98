#pragma once
// One recording per output path. Two recorders given the same path would each
// replace the other's file by name (the second deletes the first one's file at its
// start, and whichever closes last rewrites what the other left), and both would
// report success. A writer therefore claims its path before anything is done to it,
// and holds the claim until it is destroyed (in the recorder: until the process
// ends); a second claim of the same path fails, in this process or in another.
//
// The claim is an abstract Unix socket named after the path's folder (its device and
// inode, so that two spellings of one folder meet) and the file's name. The kernel
// frees it with the process, also after a crash or a kill, and nothing is left on
// disk: unlike a lock held on the file itself, it also holds while the old file is
// deleted and the new one created.

#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"

namespace platform::writer {

class PathClaim {
public:
    // None when another recording holds `path`. Otherwise the claim, which is null
    // where there is nothing to coordinate: a path whose folder does not exist (no
    // file can be written there), or a system without Unix sockets.
    static std::optional<std::unique_ptr<PathClaim>> take(const std::string& path);
    ~PathClaim();
    PathClaim(const PathClaim&) = delete;
    PathClaim& operator=(const PathClaim&) = delete;

private:
    explicit PathClaim(int socket) : socket_(socket) {}
    int socket_ = -1;
};

// Which file a path names: the device and inode of what is there now.
struct FileIdentity {
    unsigned long long device = 0;
    unsigned long long inode = 0;
    bool operator==(const FileIdentity&) const = default;
};
// None when nothing is at `path`.
std::optional<FileIdentity> identityAt(const std::string& path);
std::optional<FileIdentity> identityOf(int fd);

}  // namespace platform::writer
