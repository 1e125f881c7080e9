// SPDX-License-Identifier: BSD-2-Clause
/*
 * The watcher's loop: one epoll set for the fork records, the pidfds, the
 * signals and two timers (the periodic states, and the timeline's looks),
 * and a turn that takes what the kernel reported in the order it happened.
 */

#include "cmd/loop.h"

#include <errno.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

#include "cmd/reaper.h"
#include "core/tracker.h"

namespace {

/* How often children are looked for where fork records are refused. */
constexpr Nanos LOOK_PERIOD = 40'000'000;
/* How often the state of every process is told. */
constexpr Nanos STATES_PERIOD = 5'000'000'000;
/* Closer than this, two alike signals from one sender are one. */
constexpr Nanos SAME_SIGNAL = 50'000'000;
/* How long a burst lets the next turn gather, and what is a burst. */
constexpr Nanos BATCH = 10'000'000;
constexpr size_t BURST = 16;

Result<TimerFd>
ticker(Watch &w, Nanos period, std::uint64_t token)
{
	std::optional<TimerFd> t = TimerFd::open();

	if (!t || !t->set(period, period))
		return failure("timerfd");
	if (!w.epoll.add(t->fd(), token))
		return failure("epoll_ctl");
	return std::move(*t);
}

/*
 * The same signal again from the same sender at once is the same request,
 * sent to the watcher and then to its group, as timeout(1) does; a person
 * who means it twice takes longer.
 */
bool
repeated(Watch &w, const struct signalfd_siginfo &si, Nanos now)
{
	bool same = w.last_signal && w.last_signal->signo == si.ssi_signo &&
		    w.last_signal->from == si.ssi_pid &&
		    now - w.last_signal->at < SAME_SIGNAL;

	w.last_signal = Watch::Received{si.ssi_signo, si.ssi_pid, now};
	return same;
}

void
on_signal(Watch &w, Tracker &tr, const struct signalfd_siginfo &si)
{
	if (repeated(w, si, tr.now()))
		return;
	Event e;
	e.what = What::Signalled;
	e.t = tr.now();
	e.signo = (int)si.ssi_signo;
	e.proc = 0;
	if (w.signals_got++ == 0)
		w.signo = e.signo;
	e.from_terminal =
	    w.signals_got == 1 && from_terminal(si.ssi_code, tr.program_pid());
	/* The first is passed on, unless the program has it already. */
	e.sent = w.signals_got == 1 ? w.signo : SIGKILL;
	/* Following what it did not start, it signals nobody: it stops. */
	if (w.opt.follow) {
		e.sent = 0;
		w.stop = true;
	} else if (!e.from_terminal) {
		e.count = tr.signal_all(e.sent);
	}
	/*
	 * Checking the reaper, it is no one's reaper: nothing is left
	 * behind if it stops now, and the reaper's wait may be long.
	 */
	if (w.opt.check)
		w.stop = true;
	w.pending.push(e);
}

void
on_signals(Watch &w, Tracker &tr)
{
	bool sigchld = false;

	while (std::optional<struct signalfd_siginfo> si = w.signals.take()) {
		if (si->ssi_signo == SIGCHLD)
			sigchld = true;
		else if (si->ssi_signo == SIGCONT)
			tr.stalled();
		else
			on_signal(w, tr, *si);
	}
	if (sigchld)
		tr.collect_ours();
}

/* One look per column of the timeline, as wide as the run so far needs. */
std::optional<Failure>
on_sample(Watch &w, Tracker &tr, bool busy)
{
	bool ran_since = busy;

	if (w.samples.take())
		ran_since = tr.sample() || ran_since;
	else if (!busy)
		return std::nullopt;
	/*
	 * While nothing runs, looks come ever further apart, up to the
	 * periodic line's: what did not run did not change, and a look
	 * costs a wakeup.  Any change brings them back to one a column.
	 */
	Nanos width = column_width(tr.now() + 1'000'000);
	Nanos period =
	    ran_since ? width : std::min(w.period * 2, STATES_PERIOD);
	period = std::max(period, width);
	if (period != w.period && !w.samples.set(period, period))
		return failure("timerfd");
	w.period = period;
	return std::nullopt;
}

int
timeout(const Watch &w, const Tracker &tr, std::optional<Nanos> due)
{
	Nanos now = tr.now();
	std::optional<Nanos> oldest = w.pending.oldest();

	if (oldest && (!due || *oldest + SETTLE < *due))
		due = *oldest + SETTLE;
	if (w.hold)
		due = due ? std::min(*due, w.hold_until) : w.hold_until;
	if (!w.records.active() || tr.polling_needed() || w.rings_polled ||
	    tr.needs_looks())
		due =
		    due ? std::min(*due, now + LOOK_PERIOD) : now + LOOK_PERIOD;
	if (!due)
		return -1;
	/* A wait of weeks would not fit: wake, and wait again. */
	Nanos ms = (*due - now + 999'999) / 1'000'000;
	return *due <= now ? 0 : (int)std::min<Nanos>(ms, INT_MAX);
}

void
nap(Nanos ns)
{
	struct timespec ts = {
	    (time_t)(ns / 1'000'000'000), (long)(ns % 1'000'000'000)};

	(void)nanosleep(&ts, nullptr);
}

/* What one wait brought: each descriptor is read only when it is ready. */
struct Turn {
	bool signals = false, states = false, samples = false;
	bool hung_up = false; /* the records: all they followed are gone */
	std::vector<ProcId> ended, gone;
	Nanos woke = 0; /* when the wait returned with them */
};

Result<Turn>
wait_turn(Watch &w, Tracker &tr)
{
	Turn t;

	std::optional<Nanos> due = tr.give_up();
	/*
	 * What is waiting already came while the last turns were busy, as
	 * early as the last wait that left nothing behind (one that handed
	 * back fewer than it can); what a sleep brings woke it.
	 */
	if (!w.epoll.wait(0, w.ready))
		return failure("epoll_wait");
	if (w.ready.empty()) {
		w.drained = tr.now();
		if (!w.epoll.wait(timeout(w, tr, due), w.ready))
			return failure("epoll_wait");
	} else {
		tr.behind(tr.now() - w.drained);
	}
	t.woke = tr.now();
	/* Cut short, it may have left what was waiting: as a stop does. */
	if (!w.epoll.interrupted() && w.ready.size() < (size_t)Epoll::MOST)
		w.drained = t.woke;
	for (const Epoll::Ready &r : w.ready) {
		std::uint64_t tok = r.token;
		t.signals = t.signals || tok == TOKEN_SIGNALS;
		t.states = t.states || tok == TOKEN_STATES;
		t.samples = t.samples || tok == TOKEN_SAMPLES;
		t.hung_up = t.hung_up || (tok == TOKEN_RECORDS && r.hup);
		if (tok < TOKEN_SIGNALS && r.in)
			t.ended.push_back((ProcId)tok);
		if (tok < TOKEN_SIGNALS && r.hup)
			t.gone.push_back((ProcId)tok);
	}
	std::sort(t.ended.begin(), t.ended.end());
	std::sort(t.gone.begin(), t.gone.end());
	return t;
}

/*
 * One turn: sleep until the kernel reports something, then take it in the
 * order it happens: records, ends, our own collections, others'.  The
 * rings are read every turn: that costs no system call.
 */
std::optional<Failure>
step(Watch &w, Tracker &tr)
{
	Result<Turn> turn = wait_turn(w, tr);
	if (!turn)
		return turn.failure();
	const Turn &t = *turn;
	size_t records = 0;
	/*
	 * Only what is older than what was read, less the window, is sure:
	 * a turn that took long must not tell what was written meanwhile.
	 */
	Nanos horizon = tr.now() - SETTLE;

	/*
	 * Stopped, as by SIGSTOP or ^Z, for a time no one says: what it sees
	 * now may have come long before, even what the wait brought, for a
	 * stop takes it between the wait and this.
	 */
	if (w.signals.take(SIGCONT))
		tr.stalled();

	if (w.records.active())
		records = read_records(w, tr, t.hung_up);
	if ((!w.records.active() || tr.needs_looks()) &&
	    tr.now() - w.last_sweep >= LOOK_PERIOD) {
		tr.sweep();
		w.last_sweep = tr.now();
	}
	for (ProcId id : t.ended)
		tr.exited(id);
	if (t.signals)
		on_signals(w, tr);
	for (ProcId id : t.gone)
		tr.vanished(id, t.woke);
	if (tr.polling_needed())
		tr.check_alive();
	tr.settle();
	probe_release(w, tr);
	if (t.states && w.states.take())
		tr.look();
	size_t handled = records + t.ended.size() + t.gone.size();
	if (t.samples || handled > 0)
		if (std::optional<Failure> f = on_sample(w, tr, handled > 0))
			return f;
	flush(w, horizon);
	/*
	 * A burst, as when a program makes many short children: let a few
	 * more come before the next turn, so that one wakeup takes several.
	 * What is told waits longer anyway.  But a collection by another
	 * process is timed when it is seen, so a turn of a few events, or a
	 * reaper check, does not nap: that would lengthen a zombie's span.
	 */
	if (handled >= BURST && !w.opt.check)
		nap(BATCH);
	return std::nullopt;
}

} // namespace

bool
from_terminal(int code, pid_t program)
{
	if (code != SI_KERNEL || getpgid(program) != getpgrp())
		return false;
	for (int fd = 0; fd <= 2; fd++)
		if (isatty(fd))
			return tcgetpgrp(fd) == getpgrp();
	return false;
}

/*
 * Fork records follow every process of the tree.  Where a container's
 * seccomp profile refuses them, children are looked for instead, and
 * what lives less than a look is missed: say so once.
 */
void
records_refused(Watch &w)
{
	w.records_refused = true;
	(void)fprintf(stderr,
	    "zombie-watch: fork records refused (perf_event_open: %s);\n"
	    "looking for children instead, which misses any that live less "
	    "than 40 ms\n",
	    strerror(errno));
	if (w.opt.check && !w.opt.probe)
		(void)fputs("zombie-watch: so an orphan may be missed, and the "
			    "check cannot pass (status 4);\nthe built-in probe "
			    "(--check-reaper with no program) needs no "
			    "records\n",
		    stderr);
	if (w.opt.leaks)
		(void)fputs("zombie-watch: so a leak may be missed, and the "
			    "check cannot pass (status 4)\n",
		    stderr);
}

std::optional<Failure>
records_open(Watch &w, pid_t pid)
{
	if (!w.records.open(pid)) {
		records_refused(w);
		return std::nullopt;
	}
	for (int fd : w.records.fds())
		if (!w.epoll.add(fd, TOKEN_RECORDS))
			return failure("epoll_ctl");
	return std::nullopt;
}

size_t
read_records(Watch &w, Tracker &tr, bool hung_up)
{
	w.recs.clear();
	Nanos read_at = tr.now();
	std::optional<Loss> lost = w.records.read(w.recs, w.t0, read_at);
	if (!w.recs.empty())
		tr.behind(read_at - w.recs.front().t);
	tr.records(w.recs, lost);
	/* What the lost records would have told, /proc tells now. */
	if (lost) {
		w.records_lost = true;
		tr.sweep();
	}
	/*
	 * Everything it followed has gone: it has nothing more to say.  But
	 * following a running tree, the ring's own task may end while tasks
	 * attached to it run on: read it then at each look, unwatched.
	 */
	if (hung_up && w.opt.follow && !tr.running().empty()) {
		for (int fd : w.records.fds())
			w.epoll.remove(fd);
		w.rings_polled = true;
	} else if (hung_up) {
		w.records.close();
	}
	return w.recs.size();
}

std::optional<Failure>
loop(Watch &w, Tracker &tr)
{
	Result<TimerFd> states = ticker(w, STATES_PERIOD, TOKEN_STATES);
	if (!states)
		return states.failure();
	w.states = std::move(*states);
	w.period = column_width(0);
	Result<TimerFd> samples = ticker(w, w.period, TOKEN_SAMPLES);
	if (!samples)
		return samples.failure();
	w.samples = std::move(*samples);
	w.drained = tr.now();
	while (!tr.finished() && !w.stop)
		if (std::optional<Failure> f = step(w, tr))
			return f;
	return std::nullopt;
}
