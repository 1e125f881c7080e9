// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tracker's questions, answered by the kernel: pidfds and pinned
 * /proc files, watched through the loop's epoll set.
 */
#ifndef ZOMBIE_CMD_SYSTEM_H
#define ZOMBIE_CMD_SYSTEM_H

#include <sys/types.h>

#include <unordered_map>

#include "core/sys.h"
#include "sys/events.h"

class KernelSystem final : public System {
      public:
	/* t0: the watch's start; epoll: where pidfds are watched. */
	KernelSystem(Nanos t0, Epoll &epoll) : t0_(t0), epoll_(epoll)
	{
	}
	Nanos now() override;
	PinResult pin(pid_t pid) override;
	void unpin(PinId pin) override;
	int watch(PinId pin, std::uint64_t token) override;
	std::optional<Stat> stat(PinId pin) override;
	bool alive(PinId pin) override;
	bool exited(PinId pin) override;
	std::optional<int> exit_status(PinId pin) override;
	bool signal(PinId pin, int sig) override;
	std::optional<long long> ran(PinId pin) override;
	Nanos start_time(const Stat &s) override;
	Nanos tick() override;
	bool ignores_sigchld(pid_t pid) override;
	std::string comm(pid_t pid) override;
	std::vector<pid_t> children(pid_t pid) override;
	ChildLook ended_child() override;
	std::optional<int> collect(pid_t pid) override;
	void cannot_follow(pid_t pid, int error) override;

      private:
	struct Held {
		pid_t pid = 0;
		Fd stat, pidfd, sched;
	};
	/* Nothing, for a pin already let go: the tracker's to avoid. */
	Held *held(PinId pin);

	Nanos t0_;
	Epoll &epoll_;
	std::unordered_map<PinId, Held> held_;
	PinId next_ = 0;
};

#endif
