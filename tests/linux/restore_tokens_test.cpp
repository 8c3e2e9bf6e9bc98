// The portal's restore tokens between runs: one per display, in a file only its owner
// reads, which a damaged copy never breaks.
#include "platform/linux/capture/wayland/restore_tokens.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace platform::wayland {
namespace {

// A private folder for the test, removed afterwards.
struct Folder {
    Folder() {
        char name[] = "/tmp/zentori-tokens-XXXXXX";
        path = mkdtemp(name);
    }
    ~Folder() { std::filesystem::remove_all(path); }
    std::string file(const std::string& name) const { return path + "/" + name; }
    std::string path;
};

class RestoreTokens : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_STATE_HOME", folder_.file("state").c_str(), 1);
        setenv("HOME", folder_.file("home").c_str(), 1);
    }
    Folder folder_;
};

TEST_F(RestoreTokens, EachDisplayKeepsItsLatestTokenInAPrivateFile) {
    EXPECT_EQ(loadRestoreToken(1), std::nullopt);
    ASSERT_TRUE(storeRestoreToken(1, "first-token"));
    ASSERT_TRUE(storeRestoreToken(2, "second-token"));
    ASSERT_TRUE(storeRestoreToken(1, "newer-token"));  // tokens are single-use: each Start gives a new one
    EXPECT_EQ(loadRestoreToken(1), "newer-token");
    EXPECT_EQ(loadRestoreToken(2), "second-token");
    EXPECT_EQ(loadRestoreToken(3), std::nullopt);
    EXPECT_EQ(restoreTokenPath(), folder_.file("state") + "/zentori/portal-tokens");
    struct stat info {};
    ASSERT_EQ(stat(restoreTokenPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // Written aside and renamed: nothing is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.file("state") + "/zentori"),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_FALSE(storeRestoreToken(1, "a token with spaces")) << "a token that would break the file";
}

TEST_F(RestoreTokens, ADamagedFileIsIgnoredAndReplaced) {
    for (const std::string& damaged : {std::string("garbage"), std::string("zentori-portal-tokens 1\n1 ok\nx y\n"),
                                      std::string("zentori-portal-tokens 1\n1 cut-short"),
                                      std::string("zentori-portal-tokens 1\n99999999999 big\n"),
                                      std::string("zentori-portal-tokens 1\n") + std::string(100000, 'a')}) {
        std::filesystem::create_directories(folder_.file("state") + "/zentori");
        std::ofstream(restoreTokenPath(), std::ios::trunc) << damaged;
        EXPECT_EQ(loadRestoreToken(1), std::nullopt) << damaged.substr(0, 40);
        ASSERT_TRUE(storeRestoreToken(2, "fresh"));
        EXPECT_EQ(loadRestoreToken(2), "fresh");
    }
}

TEST_F(RestoreTokens, ARelativeStateFolderFallsBackToHome) {
    setenv("XDG_STATE_HOME", "relative/state", 1);
    EXPECT_EQ(restoreTokenPath(), folder_.file("home") + "/.local/state/zentori/portal-tokens");
    ASSERT_TRUE(storeRestoreToken(1, "token"));
    EXPECT_EQ(loadRestoreToken(1), "token");
    unsetenv("HOME");
    EXPECT_EQ(restoreTokenPath(), "");
    EXPECT_FALSE(storeRestoreToken(1, "token"));
}

}  // namespace
}  // namespace platform::wayland
