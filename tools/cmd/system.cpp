// SPDX-License-Identifier: BSD-2-Clause
#include "cmd/system.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sys/kernel.h"

KernelSystem::Held *
KernelSystem::held(PinId pin)
{
	auto it = held_.find(pin);
	return it == held_.end() ? nullptr : &it->second;
}

Nanos
KernelSystem::now()
{
	return monotonic_now() - t0_;
}

/*
 * The pidfd first: of a process gone already, as most of a burst's are,
 * it fails at once, where a path to its stat file costs a walk.  The
 * number is not reused before the process is released, so one not
 * released yet after its file was opened was the file's all along.
 */
PinResult
KernelSystem::pin(pid_t pid)
{
	PinResult r;
	Held h;

	h.pid = pid;
	h.pidfd = pidfd_open(pid);
	if (!h.pidfd) {
		r.error = errno;
		r.gone = errno == ESRCH;
		return r;
	}
	h.stat = stat_open(pid);
	/*
	 * A process collected as its file is opened may give ESRCH, not
	 * ENOENT (seen in bursts of short children on a loaded machine):
	 * it is as gone.
	 */
	if (!h.stat || !pidfd_alive(h.pidfd)) {
		r.error = h.stat ? ESRCH : errno;
		r.gone = r.error == ENOENT || r.error == ESRCH;
		return r;
	}
	r.pin = next_++;
	held_.emplace(*r.pin, std::move(h));
	return r;
}

void
KernelSystem::unpin(PinId pin)
{
	held_.erase(pin);
}

/* Edge-triggered: its end once, its collection once, no re-arming. */
int
KernelSystem::watch(PinId pin, std::uint64_t token)
{
	Held *h = held(pin);

	if (h == nullptr)
		return EBADF;
	if (!epoll_.add(h->pidfd.get(), token, Epoll::Trigger::Edge))
		return errno;
	return 0;
}

std::optional<Stat>
KernelSystem::stat(PinId pin)
{
	Held *h = held(pin);
	return h != nullptr ? stat_read(h->stat) : std::nullopt;
}

bool
KernelSystem::alive(PinId pin)
{
	Held *h = held(pin);
	return h != nullptr && pidfd_alive(h->pidfd);
}

bool
KernelSystem::exited(PinId pin)
{
	Held *h = held(pin);
	return h != nullptr && pidfd_exited(h->pidfd);
}

std::optional<int>
KernelSystem::exit_status(PinId pin)
{
	Held *h = held(pin);
	return h != nullptr ? pidfd_exit_status(h->pidfd) : std::nullopt;
}

bool
KernelSystem::signal(PinId pin, int sig)
{
	Held *h = held(pin);
	return h != nullptr && pidfd_signal(h->pidfd, sig);
}

/* Opened at the first look: most processes are never looked at. */
std::optional<long long>
KernelSystem::ran(PinId pin)
{
	Held *h = held(pin);
	if (h == nullptr)
		return std::nullopt;
	if (!h->sched)
		h->sched = ran_open(h->pid);
	return ran_read(h->sched);
}

Nanos
KernelSystem::start_time(const Stat &s)
{
	return ::start_time(s, t0_);
}

Nanos
KernelSystem::tick()
{
	return 1'000'000'000 / sysconf(_SC_CLK_TCK);
}

bool
KernelSystem::ignores_sigchld(pid_t pid)
{
	return ::ignores_sigchld(pid);
}

std::string
KernelSystem::comm(pid_t pid)
{
	return comm_read(pid);
}

std::vector<pid_t>
KernelSystem::children(pid_t pid)
{
	return children_read(pid);
}

/* Looked at, not collected: its /proc files must be read first. */
ChildLook
KernelSystem::ended_child()
{
	ChildLook look;
	siginfo_t si;

	si.si_pid = 0;
	if (waitid(P_ALL, 0, &si, WEXITED | WNOHANG | WNOWAIT) == -1) {
		look.any = errno != ECHILD;
		return look;
	}
	if (si.si_pid != 0)
		look.ended = EndedChild{si.si_pid};
	return look;
}

std::optional<int>
KernelSystem::collect(pid_t pid)
{
	int status;

	if (waitpid(pid, &status, WNOHANG) != pid)
		return std::nullopt;
	return status;
}

void
KernelSystem::cannot_follow(pid_t pid, int error)
{
	(void)fprintf(stderr, "zombie-watch: cannot follow process %d: %s\n",
	    (int)pid, strerror(error));
}
