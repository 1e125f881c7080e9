// SPDX-License-Identifier: BSD-2-Clause
/*
 * Owning descriptors: each closed once, by its destructor, so that no path
 * through the watcher can leak one or close another's by mistake.
 */
#ifndef ZOMBIE_FD_H
#define ZOMBIE_FD_H

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <optional>
#include <string_view>
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

/* A directory being read; its stream, and the descriptor under it. */
class Dir {
      public:
	/* Nothing, with errno set, where it cannot be opened. */
	static std::optional<Dir> open(const char *path)
	{
		DIR *d = opendir(path);
		if (d == nullptr)
			return std::nullopt;
		return Dir(d);
	}
	Dir(const Dir &) = delete;
	Dir &operator=(const Dir &) = delete;
	Dir(Dir &&o) noexcept : d_(std::exchange(o.d_, nullptr))
	{
	}
	Dir &operator=(Dir &&o) noexcept
	{
		if (this != &o) {
			reset();
			d_ = std::exchange(o.d_, nullptr);
		}
		return *this;
	}
	~Dir()
	{
		reset();
	}
	/* The next entry's name, "." and ".." included; nothing at the end. */
	std::optional<std::string_view> next()
	{
		/* readdir_r is the deprecated one; a stream of our own is safe.
		 */
		// cppcheck-suppress readdirCalled
		const struct dirent *e = readdir(d_);
		if (e == nullptr)
			return std::nullopt;
		return std::string_view(e->d_name);
	}

      private:
	explicit Dir(DIR *d) : d_(d)
	{
	}
	void reset()
	{
		if (d_ != nullptr)
			(void)closedir(d_);
		d_ = nullptr;
	}

	DIR *d_ = nullptr;
};

/* Both ends of a pipe, closed on exec. */
struct Pipe {
	Fd read_end, write_end;

	/* Nothing, with errno set, where the system has no pipe to give. */
	static std::optional<Pipe> open()
	{
		int fds[2];

		if (pipe2(fds, O_CLOEXEC) == -1)
			return std::nullopt;
		return Pipe{Fd(fds[0]), Fd(fds[1])};
	}
};

#endif
