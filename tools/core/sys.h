// SPDX-License-Identifier: BSD-2-Clause
/*
 * What the tracker may ask of the system, and nothing more.  The watcher
 * answers from the kernel; a test answers from a table it writes by hand,
 * so that every decision the tracker makes can be checked without starting
 * a process.
 *
 * A process the tracker holds is named by a Pin: the system keeps its
 * stat file and pidfd open for as long as the Pin lives, so that its
 * number cannot be taken by another process behind the tracker's back.
 */
#ifndef ZOMBIE_CORE_SYS_H
#define ZOMBIE_CORE_SYS_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/record.h"

/* The system's name for a process it holds for the tracker. */
using PinId = std::uint32_t;

/* A pin, or why the process could not be held (an errno value). */
struct PinResult {
	std::optional<PinId> pin;
	int error = 0;
	bool gone = false; /* it had been released already */
};

/* One of the watcher's own children that has ended, not yet collected. */
struct EndedChild {
	pid_t pid = 0;
};

/* What a look for an ended child of our own found. */
struct ChildLook {
	std::optional<EndedChild> ended;
	bool any = true; /* false: it has no children at all */
};

class System {
      public:
	System() = default;
	System(const System &) = delete;
	System &operator=(const System &) = delete;
	virtual ~System() = default;

	/* Nanoseconds since the watch began. */
	virtual Nanos now() = 0;
	/*
	 * Holds the process by a pidfd and its stat file, both proved to
	 * be of the one process.
	 */
	virtual PinResult pin(pid_t pid) = 0;
	virtual void unpin(PinId pin) = 0;
	/*
	 * Tells the loop, under token, when it ends and when it is gone;
	 * 0, or the errno value why it cannot.
	 */
	virtual int watch(PinId pin, std::uint64_t token) = 0;
	/* Empty once it has been released. */
	virtual std::optional<Stat> stat(PinId pin) = 0;
	/* It exists still, as a zombie too. */
	virtual bool alive(PinId pin) = 0;
	/* Its whole thread group has ended. */
	virtual bool exited(PinId pin) = 0;
	/* The status kept of it after another collected it, where kept. */
	virtual std::optional<int> exit_status(PinId pin) = 0;
	virtual bool signal(PinId pin, int sig) = 0;
	/* The nanoseconds it has run, or waited to run. */
	virtual std::optional<long long> ran(PinId pin) = 0;
	/* Where its start falls on the watch's clock. */
	virtual Nanos start_time(const Stat &s) = 0;
	/* A clock tick, the grain of a start time. */
	virtual Nanos tick() = 0;

	/* By number: only for what is not held, or is held already. */
	virtual bool ignores_sigchld(pid_t pid) = 0;
	virtual std::string comm(pid_t pid) = 0;
	virtual std::vector<pid_t> children(pid_t pid) = 0;

	/* The watcher's own children: looked at first, then collected. */
	virtual ChildLook ended_child() = 0;
	virtual std::optional<int> collect(pid_t pid) = 0;

	/* A process of the tree that cannot be followed, and why. */
	virtual void cannot_follow(pid_t pid, int error) = 0;
};

/* A held process: let go when this goes. */
class Pin {
      public:
	Pin() = default;
	Pin(System &sys, PinId id) : sys_(&sys), id_(id)
	{
	}
	Pin(const Pin &) = delete;
	Pin &operator=(const Pin &) = delete;
	Pin(Pin &&o) noexcept : sys_(std::exchange(o.sys_, nullptr)), id_(o.id_)
	{
	}
	Pin &operator=(Pin &&o) noexcept
	{
		if (this != &o) {
			reset();
			sys_ = std::exchange(o.sys_, nullptr);
			id_ = o.id_;
		}
		return *this;
	}
	~Pin()
	{
		reset();
	}
	explicit operator bool() const
	{
		return sys_ != nullptr;
	}
	PinId id() const
	{
		return id_;
	}
	void reset()
	{
		if (sys_ != nullptr)
			sys_->unpin(id_);
		sys_ = nullptr;
	}

      private:
	System *sys_ = nullptr;
	PinId id_ = 0;
};

#endif
