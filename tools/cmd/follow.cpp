// SPDX-License-Identifier: BSD-2-Clause
/*
 * --pid: the process and the tree it has already, found in /proc, each of
 * its tasks attached to the fork records until a look finds nothing new.
 */

#include "cmd/follow.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "cmd/loop.h"
#include "core/tracker.h"
#include "sys/kernel.h"

namespace {

/*
 * Follows every task of the tree into the records, and looks again for
 * what was created meanwhile, until a look finds nothing new: a task
 * followed has every later child in the records.
 */
void
attach_all(Watch &w, Tracker &tr)
{
	for (bool more = true; more;) {
		/* What the records told is created now, and followed. */
		if (w.records.active()) {
			(void)read_records(w, tr, false);
			for (const Record &r : w.recs)
				if (r.fork)
					w.attached.insert(r.tid);
		}
		more = tr.adopt_existing();
		for (pid_t pid : tr.running())
			for (pid_t tid : threads_read(pid))
				if (w.attached.insert(tid).second) {
					more = true;
					if (w.records.active())
						(void)w.records.attach(tid);
				}
	}
}

/*
 * Whether a refusal is for want of rights over it: root, or the same user,
 * may follow it, and is then refused by the system's policy instead
 * (perf_event_paranoid, a security module), as any run would be.
 */
bool
may_trace(pid_t pid)
{
	return geteuid() == 0 || owner_read(pid) == geteuid();
}

} // namespace

/* Following a process it did not start, with the rights of a debugger. */
std::optional<Failure>
follow_start(Watch &w, Tracker &tr)
{
	pid_t pid = *w.opt.follow;
	std::string arg = "--pid=" + std::to_string(pid);

	/* A thread's number names its process too: /proc has it, hidden. */
	std::optional<Status> st = status_read(pid);
	if (st && st->tgid > 0 && st->tgid != pid) {
		(void)fprintf(stderr,
		    "zombie-watch: %s is a thread of process %d: following the "
		    "process\n",
		    arg.c_str(), (int)st->tgid);
		pid = st->tgid;
	}
	if (!tr.follow(pid)) {
		bool none = errno == ENOENT || errno == ESRCH;
		return Failure{
		    arg + ": " + (none ? "no such process" : strerror(errno)),
		    std::nullopt, none};
	}
	if (!w.records.open(pid) && errno == EACCES) {
		int err = errno;
		if (!may_trace(pid))
			return Failure{arg +
					   ": not allowed to follow it "
					   "(perf_event_open: " +
					   strerror(err) +
					   ");\nit needs the rights to attach "
					   "a debugger to it: the same user, "
					   "or root",
			    std::nullopt};
		errno = err;
	}
	if (w.records.active()) {
		for (int fd : w.records.fds())
			if (!w.epoll.add(fd, TOKEN_RECORDS))
				return failure("epoll_ctl");
	} else {
		records_refused(w);
	}
	w.attached.insert(pid);
	attach_all(w, tr);
	tr.started();
	return std::nullopt;
}
