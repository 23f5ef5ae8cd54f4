// Builders for package records and checks usable inside sandbox bodies, where
// GoogleTest assertions cannot reach the parent: failures are printed and counted.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "pkg/package.h"
#include "pkg/repository.h"
#include "pkg/version.h"

inline DependencyEntry ref(const std::string& name, PackedVersion min = 0, PackedVersion max = 0,
                           int32_t extra = 0) {
    return DependencyEntry{name, min, max, uint32_t(extra)};
}

// A package record built field by field.
class Make {
public:
    explicit Make(const std::string& name, PackedVersion version = packVersion(1, 0), uint32_t buildTime = 0)
        : p_(std::make_unique<Package>()) {
        p_->name = name;
        p_->version = version;
        p_->buildTime = buildTime;
    }
    Make& dep(const std::string& name, PackedVersion min = 0, PackedVersion max = 0) {
        p_->dependencies.push_back(ref(name, min, max));
        return *this;
    }
    Make& provide(const std::string& name, int32_t extra = 0, PackedVersion min = 0, PackedVersion max = 0) {
        p_->provides.push_back(ref(name, min, max, extra));
        return *this;
    }
    Make& conflict(const std::string& name, PackedVersion min = 0, PackedVersion max = 0) {
        p_->conflicts.push_back(ref(name, min, max));
        return *this;
    }
    Make& disabled(bool userForced = false) {
        p_->disabled = true;
        p_->userForced = userForced;
        return *this;
    }
    Make& schedule(ScheduledAction action) {
        p_->scheduled = action;
        return *this;
    }
    Make& inBundle(const std::string& name) {
        p_->bundle = ref(name);
        return *this;
    }
    Make& bundle() {
        p_->isBundle = true;
        return *this;
    }
    Make& member(const PackageHeader& header) {
        p_->isBundle = true;
        p_->members.push_back(header);
        return *this;
    }
    Make& file(const std::string& path) {
        p_->files.insert(path);
        return *this;
    }
    Make& arch(const std::string& architecture) {
        p_->architecture = architecture;
        return *this;
    }
    std::unique_ptr<Package> take() { return std::move(p_); }
    Package& operator*() { return *p_; }
    Package* operator->() { return p_.get(); }

private:
    std::unique_ptr<Package> p_;
};

// Appends to the repository and returns the record it now owns.
inline Package* add(Repository& repository, Make& make) {
    repository.packages.push_back(make.take());
    return repository.packages.back().get();
}
inline Package* add(Repository& repository, Make&& make) { return add(repository, make); }

// What `body` writes to standard output.
inline std::string captureStdout(const std::function<void()>& body) {
    std::fflush(stdout);
    testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

// Inside a sandbox body.
class Checks {
public:
    void expect(bool ok, const char* what, int line) {
        if (!ok) {
            std::printf("line %d: failed: %s\n", line, what);
            ++failures_;
        }
    }
    template <class A, class B>
    void equal(const A& actual, const B& expected, const char* what, int line) {
        if (!(actual == expected)) {
            std::ostringstream out;
            out << "line " << line << ": " << what << ": got [" << actual << "], expected [" << expected << "]\n";
            std::fputs(out.str().c_str(), stdout);
            ++failures_;
        }
    }
    int status() const { return failures_ == 0 ? 0 : 1; }

private:
    int failures_ = 0;
};

#define CHECK_TRUE(checks, condition) (checks).expect((condition), #condition, __LINE__)
#define CHECK_EQ(checks, actual, expected) (checks).equal((actual), (expected), #actual, __LINE__)
