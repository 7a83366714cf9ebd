// An owned file descriptor, closed when its owner goes; -1 owns nothing.
#pragma once

#include <unistd.h>

#include <utility>

class unique_fd {
public:
    explicit unique_fd(int fd = -1) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ~unique_fd() { reset(); }
    int get() const { return fd_; }
    // Closes what it owned and owns `fd` instead.
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_;
};
