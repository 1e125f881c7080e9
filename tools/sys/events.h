// SPDX-License-Identifier: BSD-2-Clause
/*
 * What the watcher's loop sleeps on: an epoll set that hands back the token
 * each descriptor was added with, the signals it takes as a descriptor, and
 * its timers.  Each owns its descriptor.  A failed call answers false or
 * nothing, with errno set, for the caller to say what failed.
 */
#ifndef ZOMBIE_EVENTS_H
#define ZOMBIE_EVENTS_H

#include <signal.h>
#include <sys/signalfd.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "core/record.h"
#include "sys/fd.h"

class Epoll {
      public:
	/* What one descriptor had to say. */
	struct Ready {
		std::uint64_t token = 0;
		bool in = false;  /* readable */
		bool hup = false; /* hung up: nothing more will come */
	};
	/*
	 * Level: told while it is readable; Edge: told once a change;
	 * Writable: told once each time it has room for more.
	 */
	enum class Trigger : std::uint8_t { Level, Edge, Writable };

	/* The most one wait hands back: more may wait for the next. */
	static constexpr int MOST = 256;

	Epoll() = default; /* none: open() makes one */
	static std::optional<Epoll> open();
	bool add(int fd, std::uint64_t token, Trigger how = Trigger::Level);
	void remove(int fd);
	/*
	 * Sleeps until one is ready or timeout_ms have passed (-1: no
	 * limit), and puts what is ready in ready.  A wait a signal
	 * interrupted has found nothing.
	 */
	bool wait(int timeout_ms, std::vector<Ready> &ready);
	/* The last wait was cut short by a signal, not done. */
	bool interrupted() const
	{
		return interrupted_;
	}

      private:
	explicit Epoll(Fd fd) : fd_(std::move(fd))
	{
	}
	Fd fd_;
	bool interrupted_ = false;
};

/*
 * The signals of a set, read as a descriptor.  They must be blocked
 * already, or they would be delivered before they can be read.
 */
class SignalFd {
      public:
	SignalFd() = default; /* none: open() makes one */
	static std::optional<SignalFd> open(const sigset_t &signals);
	int fd() const
	{
		return fd_.get();
	}
	const sigset_t &signals() const
	{
		return signals_;
	}
	/* The next one pending, or nothing when none is. */
	std::optional<struct signalfd_siginfo> take() const;
	/* Whether sig, one of the set, was pending: it is taken, alone. */
	bool take(int sig) const;

      private:
	SignalFd(Fd fd, const sigset_t &signals)
	    : fd_(std::move(fd)), signals_(signals)
	{
	}
	Fd fd_;
	sigset_t signals_ = {};
};

/* A timer on CLOCK_MONOTONIC, readable once it has expired. */
class TimerFd {
      public:
	TimerFd() = default; /* none: open() makes one */
	static std::optional<TimerFd> open();
	int fd() const
	{
		return fd_.get();
	}
	/* Expires first after first, then every period; once for 0. */
	bool set(Nanos first, Nanos period = 0);
	/* Whether it has expired since it was last taken. */
	bool take() const;

      private:
	explicit TimerFd(Fd fd) : fd_(std::move(fd))
	{
	}
	Fd fd_;
};

#endif
