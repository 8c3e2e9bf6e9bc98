#pragma once
// Files for tests: a private folder removed at the end, and whole files written and
// read back.

#include <string>

namespace testsupport {

// A fresh private directory, removed with everything in it at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

bool writeFile(const std::string& path, const std::string& bytes);
std::string readFile(const std::string& path);

}  // namespace testsupport
