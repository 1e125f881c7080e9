// SPDX-License-Identifier: BSD-2-Clause
/*
 * From the kernel's records and descriptors to events.  Every process of
 * the tree is known from its fork record, held by a pidfd where it can
 * still be pinned, and told from creation to collection even when it was
 * gone before it could be held.  Times are the kernel's where it recorded
 * them (forks and exits), else when the watcher saw the change, bounded by
 * what must have come before and after it.
 */

#include <algorithm>
#include <climits>

#include "core/tracker.h"

Tracker::Tracker(System &sys, Log &log, Pending &out, const TrackerSetup &setup)
    : sys_(sys), log_(log), out_(out), setup_(setup)
{
	watcher_ = log_.add_process(setup.self, Role::Watcher);
	known_.resize(1);
}

Nanos
Tracker::now() const
{
	return sys_.now();
}

void
Tracker::emit(const Event &e)
{
	out_.push(e);
}

Tracker::Live *
Tracker::find(ProcId id)
{
	auto it = live_.find(id);
	return it == live_.end() ? nullptr : &it->second;
}

Tracker::Live *
Tracker::find_pid(pid_t pid)
{
	auto it = by_pid_.find(pid);
	return it == by_pid_.end() ? nullptr : find(it->second);
}

/* A process by number: the tree's, the watcher, or one outside. */
std::optional<ProcId>
Tracker::id_of(pid_t pid)
{
	if (pid == setup_.self)
		return watcher_;
	if (Live *l = find_pid(pid))
		return l->id;
	/* One of the tree that has gone since: its number still names it. */
	if (auto it = ever_.find(pid); it != ever_.end())
		return it->second;
	if (pid <= 0)
		return std::nullopt;
	return outsider(pid);
}

ProcId
Tracker::outsider(pid_t pid)
{
	auto it = outsiders_.find(pid);
	if (it != outsiders_.end())
		return it->second;
	ProcId id = log_.add_process(pid, Role::Outsider, sys_.comm(pid));
	known_.resize(id + 1);
	outsiders_[pid] = id;
	return id;
}

ProcId
Tracker::add_child(pid_t pid, std::optional<ProcId> creator, Nanos t)
{
	ProcId id = log_.add_process(pid, Role::Child);
	known_.resize(id + 1);
	Live &l = live_[id];
	l.id = id;
	l.pid = pid;
	l.creator = creator;
	set_parent(l, creator);
	l.created = t;
	known_[id].parent = creator;
	by_pid_[pid] = id;
	ever_[pid] = id;
	return id;
}

/*
 * Holds it by pidfd and its stat file.  The number may be another's by
 * now: a process whose start is not this one's is not it.
 */
bool
Tracker::pin(Live &l, std::optional<Nanos> born)
{
	PinResult held = sys_.pin(l.pid);
	if (!held.pin) {
		l.gone = held.gone;
		l.gone_at = ++asked_;
		pin_error_ = held.error;
		return false;
	}
	l.pin = Pin(sys_, *held.pin);
	l.held = sys_.now();
	std::optional<Stat> s = sys_.stat(l.pin.id());
	const Nanos tick = sys_.tick();
	if (!s || (born && (sys_.start_time(*s) < *born - 3 * tick ||
			       sys_.start_time(*s) > *born + 3 * tick))) {
		l.pin.reset();
		l.gone = true;
		l.gone_at = ++asked_;
		return false;
	}
	l.seen = s->state;
	Live *c = l.creator ? find(*l.creator) : nullptr;
	/*
	 * No fault yet: a fork child that has yet to run, and will fault as
	 * it does; unless it has ended so, or its creator waits in D, as
	 * vfork has it wait while the child borrows its memory, where the
	 * child need make none.
	 */
	bool ran = s->state == 'Z' || s->state == 'X' || s->exiting;
	l.least = s->minflt + s->cminflt;
	if (l.least == 0 && !ran) {
		std::optional<Stat> cs =
		    c != nullptr ? stat_of(*c) : std::nullopt;
		if (!(cs && cs->state == 'D'))
			l.least = 1;
	}
	/*
	 * Its parent is its creator's while the creator runs, unless made
	 * with clone(CLONE_PARENT): then it is the creator's parent.  A
	 * creator that has ended, record read or not, may have handed it
	 * over to that same parent: a plain fork is taken, by far the
	 * commoner.
	 */
	bool beside = c != nullptr && s->ppid != c->pid && c->parent &&
		      id_of(s->ppid) == c->parent;
	if (beside && !c->record_end && !c->end &&
	    !(c->pin && sys_.exited(c->pin.id())))
		set_parent(l, c->parent);
	known_[l.id].parent = l.parent;
	if (int err = sys_.watch(l.pin.id(), l.id); err != 0) {
		l.pin.reset();
		pin_error_ = err;
		return false;
	}
	return true;
}

bool
Tracker::start(pid_t pid, Nanos t, const std::string &program)
{
	ProcId id = log_.add_process(pid, Role::Program, program);
	known_.resize(id + 1);
	Live &l = live_[id];
	l.id = id;
	l.pid = pid;
	l.creator = watcher_;
	set_parent(l, watcher_);
	l.created = t;
	known_[id].parent = watcher_;
	by_pid_[pid] = id;
	ever_[pid] = id;
	program_ = id;
	return pin(l, std::nullopt);
}

void
Tracker::started()
{
	Live *l = find(*program_);
	Event e;
	e.what = What::Started;
	e.t = l != nullptr ? l->created : 0;
	e.proc = *program_;
	e.other = watcher_;
	e.before = setup_.follow;
	emit(e);
}

bool
Tracker::follow(pid_t pid)
{
	PinResult held = sys_.pin(pid);
	std::optional<Stat> s;
	if (held.pin) {
		Pin p(sys_, *held.pin);
		s = sys_.stat(p.id());
	}
	if (!s)
		return false;
	if (s->ppid > 0)
		pin_ancestors(s->ppid);
	ProcId id = log_.add_process(pid, Role::Program, sys_.comm(pid));
	known_.resize(id + 1);
	Live &l = live_[id];
	l.id = id;
	l.pid = pid;
	if (!ancestors_.empty())
		set_parent(l, ancestors_.front().id);
	l.before = true;
	l.threads = s->threads;
	l.base = s->cminflt;
	known_[id].parent = l.parent;
	known_[id].base = l.base;
	by_pid_[pid] = id;
	ever_[pid] = id;
	program_ = id;
	have_children_ = false;
	return pin(l, std::nullopt);
}

bool
Tracker::adopt_existing()
{
	std::vector<std::pair<ProcId, pid_t>> parents;
	size_t had = live_.size();

	for (const auto &[id, l] : live_)
		if (!l.end && l.pin)
			parents.emplace_back(id, l.pid);
	std::sort(parents.begin(), parents.end());
	for (const auto &[id, pid] : parents)
		for (pid_t kid : sys_.children(pid))
			found(kid, id, true);
	return live_.size() > had;
}

std::vector<pid_t>
Tracker::running() const
{
	std::vector<pid_t> pids;

	for (const auto &[id, l] : live_)
		if (!l.end && l.pin)
			pids.push_back(l.pid);
	std::sort(pids.begin(), pids.end());
	return pids;
}

/*
 * The ancestors of the tree, up to PID 1: an orphan goes to the nearest of
 * them that is a subreaper, or to PID 1, and /proc does not say which; the
 * one whose count grows by the orphan's collected it.
 */
void
Tracker::pin_ancestors(pid_t first)
{
	for (pid_t pid = first; pid > 0 && ancestors_.size() < 64;) {
		Ancestor a;
		a.pid = pid;
		PinResult held = sys_.pin(pid);
		if (!held.pin)
			return;
		a.pin = Pin(sys_, *held.pin);
		std::optional<Stat> s = sys_.stat(a.pin.id());
		if (!s || !sys_.alive(a.pin.id()))
			return;
		a.id = outsider(pid);
		a.base = s->cminflt;
		ancestors_.push_back(std::move(a));
		pid = pid == 1 ? 0 : s->ppid;
	}
}

void
Tracker::created(Live &l)
{
	Event e;
	e.what = What::Created;
	e.t = l.created;
	e.proc = l.id;
	e.by = l.creator;
	e.other = l.parent;
	e.before = l.before;
	e.zombie = l.before && l.seen == 'Z';
	emit(e);
}

void
Tracker::on_fork(const Record &r, std::vector<ProcId> &fresh)
{
	if (r.pid == r.ppid) {
		if (Live *l = find_pid(r.pid))
			l->threads++;
		return;
	}
	/*
	 * Its number is free again: whoever had it is gone, by this fork at
	 * the latest.  Made in this same turn, it was never held, and its
	 * creation is told first.
	 */
	if (Live *old = find_pid(r.pid)) {
		auto made = std::find(fresh.begin(), fresh.end(), old->id);
		if (made != fresh.end()) {
			fresh.erase(made);
			old->gone = true;
			old->gone_at = ++asked_;
			created(*old);
		}
		/* Pinned after this fork, it held this one: the old is gone. */
		if (old->pin && old->held > r.t) {
			if (old->unsure) {
				old->record_end = old->unsure->t;
				old->exit_ppid = old->unsure->ppid;
				old->unsure.reset();
			}
			old->pin.reset();
			old->gone = true;
			old->gone_at = ++asked_;
		}
		vanished(old->id, r.t);
	}
	std::optional<ProcId> creator;
	if (Live *c = find_pid(r.ppid)) {
		creator = c->id;
		c->forked = std::max(c->forked, r.t);
	}
	fresh.push_back(add_child(r.pid, creator, r.t));
}

void
Tracker::on_exit(const Record &r, const Record *next, const Record *end)
{
	Live *l = find_pid(r.pid);

	if (l == nullptr || l->end)
		return;
	if (--l->threads > 0) {
		if (r.tid == r.pid && !l->main_exited) {
			l->main_exited = true;
			Event e;
			e.what = What::MainExited;
			e.t = r.t;
			e.proc = l->id;
			e.count = l->threads;
			emit(e);
		}
		return;
	}
	/*
	 * Pinned after it ended, its number forked again before the pin: what
	 * the pin holds is that next one, running, and this made no set-ID
	 * exec.  That fork, later in these records, tells when it was gone.
	 */
	bool another = l->pin && l->held > r.t &&
		       std::any_of(next, end, [&](const Record &n) {
			       return n.fork && n.pid == r.pid &&
				      n.tid == r.pid && n.t < l->held;
		       });
	if (another)
		l->pin.reset();
	else if (runs_on(*l, r))
		return;
	l->record_end = r.t;
	l->exit_ppid = r.ppid;
	l->exit_tid = r.tid;
	if (another)
		return;
	/* Not held: the record is all there is, and it is gone. */
	if (!l->pin && l->gone)
		vanished(l->id);
}

/*
 * A thread other than the main one ran a program: the kernel ended the
 * others, the main one too, wrote the main one's exit and gave the thread
 * the process's number.  That exit, not yet told, was no main thread
 * ending on its own; told already (long before, as a thread that execs
 * later), it was.  Either way the process runs on, led again.
 */
void
Tracker::on_exec(const Record &r)
{
	Live *l = find_pid(r.pid);

	if (l == nullptr || l->end || !l->main_exited)
		return;
	l->main_exited = false;
	out_.withdraw(l->id, What::MainExited);
	Event e;
	e.what = What::Exec;
	e.t = r.t;
	e.proc = l->id;
	e.comm = r.comm;
	emit(e);
}

/*
 * The last exit record its count of threads awaited, of a process that is
 * neither a zombie nor on its way out: it runs on.  Its main thread's says
 * it ran a program that changes its user or group (set-user-ID or
 * set-group-ID) or that it may not read, and the kernel, which stops
 * following it then, wrote its exit.  Held by its pidfd, its end is seen
 * when it comes, and its children are looked for.
 */
bool
Tracker::runs_on(Live &l, const Record &r)
{
	if (!running(l))
		return false;
	unrecorded(l, r);
	return true;
}

/* Neither a zombie nor on its way out; its count of threads as it is. */
bool
Tracker::running(Live &l)
{
	/* Ended, as nearly all are: its pidfd says so for less than a stat. */
	if (!l.pin || sys_.exited(l.pin.id()))
		return false;
	std::optional<Stat> s = stat_of(l);
	if (!s || s->state == 'Z' || s->state == 'X' || s->exiting)
		return false;
	l.threads = std::max(s->threads, 1);
	return true;
}

void
Tracker::unrecorded(Live &l, const Record &r)
{
	/*
	 * Not its main thread's: a thread the records did not count, lost
	 * or made before the watch, ended; the process is not done.
	 */
	if (r.tid != r.pid)
		return;
	no_records(l, r.t);
	Event e;
	e.what = What::Unrecorded;
	e.t = r.t;
	e.proc = l.id;
	emit(e);
}

/*
 * Read with its fork, its exit's record came before the pin, which found
 * it running.  A set-ID exec does that; so does an end, collection and a
 * fork of the same number before the pin, whose record is not read yet.
 * The next records, read after the pin, tell which.
 */
void
Tracker::outlived(const std::vector<ProcId> &fresh)
{
	for (ProcId id : fresh) {
		Live *l = find(id);
		if (l == nullptr || !l->pin || !l->record_end || !running(*l))
			continue;
		Record r;
		r.pid = l->pid;
		r.tid = l->exit_tid;
		r.ppid = l->exit_ppid.value_or(0);
		r.t = *l->record_end;
		l->unsure = r;
		l->record_end.reset();
		l->exit_ppid.reset();
		unsure_.push_back(id);
	}
}

/* No fork of its number came before its pin: the pin holds it. */
void
Tracker::confirm_unsure()
{
	for (ProcId id : unsure_)
		if (Live *l = find(id); l != nullptr && l->unsure) {
			Record r = *l->unsure;
			l->unsure.reset();
			unrecorded(*l, r);
		}
	unsure_.clear();
}

bool
Tracker::needs_looks() const
{
	for (ProcId id : unrecorded_)
		if (auto it = live_.find(id);
		    it != live_.end() && !it->second.end)
			return true;
	return false;
}

void
Tracker::no_records(Live &l, Nanos since)
{
	if (!l.unrecorded)
		unrecorded_.push_back(l.id);
	l.unrecorded = since;
}

/* It cannot be held: said on stderr, and not waited for. */
void
Tracker::unfollowed(Live &l, int err)
{
	sys_.cannot_follow(l.pid, err);
	l.given_up = true;
	Event e;
	e.what = What::Unfollowed;
	e.t = l.created;
	e.proc = l.id;
	emit(e);
}

/*
 * Pins what the records created, all of them before any is told: telling
 * one may hand another over, which must be held by then.
 */
void
Tracker::settle_fresh(const std::vector<ProcId> &fresh)
{
	std::vector<std::pair<ProcId, int>> failed;

	for (ProcId id : fresh)
		if (Live *l = find(id); l != nullptr && !pin(*l, l->created))
			failed.emplace_back(id, pin_error_);
	for (ProcId id : fresh)
		if (Live *l = find(id))
			created(*l);
	for (auto [id, err] : failed) {
		Live *l = find(id);
		if (l != nullptr && !l->gone)
			unfollowed(*l, err);
		/* Ended and collected already: its record says when. */
		else if (l != nullptr && l->record_end)
			vanished(id);
	}
}

void
Tracker::records(
    const std::vector<Record> &recs, const std::optional<Loss> &lost)
{
	std::vector<ProcId> fresh;

	const Record *end = recs.data() + recs.size();
	for (const Record *r = recs.data(); r != end; r++) {
		if (r->fork)
			on_fork(*r, fresh);
		else if (r->exec)
			on_exec(*r);
		else
			on_exit(*r, r + 1, end);
	}
	confirm_unsure();
	settle_fresh(fresh);
	outlived(fresh);
	if (!lost)
		return;
	told_lost(*lost);
	/* Records were lost: what went unheld cannot wait for its exit's. */
	std::vector<ProcId> unheld;
	for (auto &[id, l] : live_)
		if (l.gone && !l.pin)
			unheld.push_back(id);
	std::sort(unheld.begin(), unheld.end());
	for (ProcId id : unheld)
		vanished(id);
}

/*
 * Said where the records resume, so that it is told after what came
 * before the gap, which may have been told already.
 */
void
Tracker::told_lost(const Loss &lost)
{
	Event e;
	e.what = What::Lost;
	e.proc = watcher_;
	e.since = lost.after;
	e.t = lost.before;
	e.count = (int)std::min<std::uint64_t>(lost.records, INT_MAX);
	e.at_least = lost.full;
	emit(e);
}

void
Tracker::settle()
{
	ledger_.settle();
	counts_.clear();
	behind_ = false;
	auto done = [this](ProcId id) {
		auto it = live_.find(id);
		return it == live_.end() || it->second.end;
	};
	unrecorded_.erase(
	    std::remove_if(unrecorded_.begin(), unrecorded_.end(), done),
	    unrecorded_.end());
}

/*
 * The kernel wrote a record this long before the watcher read it: what
 * it sees gone in this turn may have gone as long before.
 */
void
Tracker::behind(Nanos by)
{
	behind_ = behind_ || by > LATE;
}

void
Tracker::stalled()
{
	behind_ = true;
}

std::optional<Nanos>
Tracker::give_up()
{
	std::optional<Nanos> due;
	Nanos t = now();

	if (!setup_.check)
		return due;
	for (auto &[id, l] : live_) {
		if (!l.orphaned || !l.end || l.given_up)
			continue;
		Nanos at = std::max(*l.orphaned, *l.end) + setup_.reaper_wait;
		if (at <= t)
			l.given_up = true;
		else if (!due || at < *due)
			due = at;
	}
	return due;
}

/* Parents first, as a shell ends its job from the top. */
int
Tracker::signal_all(int sig)
{
	std::vector<ProcId> ids;
	int sent = 0;

	for (auto &[id, l] : live_)
		if (!l.end)
			ids.push_back(id);
	std::sort(ids.begin(), ids.end());
	for (ProcId id : ids)
		if (const Live &l = live_.at(id);
		    l.pin && sys_.signal(l.pin.id(), sig))
			sent++;
	return sent;
}

bool
Tracker::finished() const
{
	for (const auto &[id, l] : live_)
		if (!l.given_up)
			return false;
	return !have_children_;
}

bool
Tracker::follows(pid_t pid)
{
	const Live *l = find_pid(pid);
	/* One that has ended is followed once its end is read. */
	return l != nullptr && l->pin && (l->end || !sys_.exited(l->pin.id()));
}

bool
Tracker::polling_needed() const
{
	if (setup_.hup_works)
		return false;
	for (const auto &[id, l] : live_)
		if (l.end && l.pin)
			return true;
	return false;
}

std::optional<int>
Tracker::program_status() const
{
	return program_status_;
}

pid_t
Tracker::program_pid() const
{
	return log_.proc(*program_).pid;
}

/* Read through its pin: nothing once it is released, or never held. */
std::optional<Stat>
Tracker::stat_of(const Live &l)
{
	return l.pin ? sys_.stat(l.pin.id()) : std::nullopt;
}
