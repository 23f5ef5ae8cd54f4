// Feeding package files to install children, in the sandbox (the child
// writes "/flash/image" and the package database under "/flash").
#include "flows/feed.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "init/process.h"
#include "sandbox/sandbox.h"

#if __has_include("pkg/driver.h")
#include "pkg/driver.h"

namespace {

int runInSandbox(std::vector<sandbox::File> files, std::function<int()> body) {
    sandbox::Options o;
    o.files = std::move(files);
    auto r = sandbox::run(o, std::move(body));
    EXPECT_TRUE(r.exited) << r.output;
    return r.exitStatus;
}

TEST(Feed, AMissingFileStillStartsAndEndsItsChild) {
    EXPECT_EQ(runInSandbox({}, [] {
                  if (feedPackageFile("/floppy/missing.vpk") != FeedResult::readFailed) return 1;
                  // The child was waited for: the slot is free again.
                  return pipedChildPid == -1 ? 0 : 2;
              }),
              0);
}

TEST(Feed, AChildThatRefusesStopsTheFeeding) {
    // Not a package: the child gives up at once, long before 4 MiB went by.
    std::string junk(4 << 20, 'x');
    EXPECT_EQ(runInSandbox({{"/floppy/junk.vpk", junk}}, [] {
                  if (feedPackageFile("/floppy/junk.vpk") != FeedResult::writeFailed) return 1;
                  std::vector<unsigned char> data(4 << 20, 'x');
                  if (feedPackageData(data.data(), data.size()) != FeedResult::writeFailed) return 2;
                  // Nothing of it stays behind.
                  struct stat st;
                  return stat("/flash/image", &st) == 0 ? 3 : 0;
              }),
              0);
}

TEST(Feed, NoSecondChildWhileOneIsOpen) {
    EXPECT_EQ(runInSandbox({}, [] {
                  FILE* first = startInstallChild(InstallMode::stream, true);
                  if (!first) return 1;
                  FeedResult second = feedPackageData(nullptr, 0);
                  closePipedChild(first);
                  if (second != FeedResult::noChild) return 2;
                  // An empty package still gets its child, which is waited for.
                  return feedPackageData(nullptr, 0) == FeedResult::fed && pipedChildPid == -1 ? 0 : 3;
              }),
              0);
}

}  // namespace
#endif
