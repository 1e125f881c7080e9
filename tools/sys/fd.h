// SPDX-License-Identifier: BSD-2-Clause
/*
 * An owning file descriptor: closed once, by its destructor, so that no
 * path through the watcher can leak one or close another's by mistake.
 */
#ifndef ZOMBIE_FD_H
#define ZOMBIE_FD_H

#include <unistd.h>

#include <utility>

class Fd {
      public:
	Fd() = default;
	explicit Fd(int fd) : fd_(fd < 0 ? -1 : fd)
	{
	}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1))
	{
	}
	Fd &operator=(Fd &&o) noexcept
	{
		if (this != &o) {
			reset();
			fd_ = std::exchange(o.fd_, -1);
		}
		return *this;
	}
	~Fd()
	{
		reset();
	}
	explicit operator bool() const
	{
		return fd_ >= 0;
	}
	int get() const
	{
		return fd_;
	}
	void reset()
	{
		if (fd_ >= 0)
			(void)close(fd_);
		fd_ = -1;
	}

      private:
	int fd_ = -1;
};

#endif
