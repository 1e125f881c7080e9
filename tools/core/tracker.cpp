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
	l.parent = creator;
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
		pin_error_ = held.error;
		return false;
	}
	l.pin = Pin(sys_, *held.pin);
	std::optional<Stat> s = sys_.stat(l.pin.id());
	const Nanos tick = sys_.tick();
	if (!s || (born && (sys_.start_time(*s) < *born - 3 * tick ||
			       sys_.start_time(*s) > *born + 3 * tick))) {
		l.pin.reset();
		l.gone = true;
		return false;
	}
	l.seen = s->state;
	/*
	 * Its parent is its creator's while the creator runs, unless made
	 * with clone(CLONE_PARENT): then it is the creator's parent.
	 */
	Live *c = l.creator ? find(*l.creator) : nullptr;
	if (c != nullptr && !c->record_end && !c->end && s->ppid != c->pid &&
	    c->parent && id_of(s->ppid) == c->parent)
		l.parent = c->parent;
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
	l.parent = l.creator = watcher_;
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
		l.parent = ancestors_.front().id;
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
	/* Its number is free again: whoever had it is gone. */
	if (Live *old = find_pid(r.pid))
		vanished(old->id);
	std::optional<ProcId> creator;
	if (Live *c = find_pid(r.ppid))
		creator = c->id;
	fresh.push_back(add_child(r.pid, creator, r.t));
}

void
Tracker::on_exit(const Record &r)
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
	l->record_end = r.t;
	l->exit_ppid = r.ppid;
	/* Not held: the record is all there is, and it is gone. */
	if (!l->pin && l->gone)
		vanished(l->id);
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
Tracker::records(const std::vector<Record> &recs, bool whole)
{
	std::vector<ProcId> fresh;

	for (const Record &r : recs) {
		if (r.fork)
			on_fork(r, fresh);
		else
			on_exit(r);
	}
	settle_fresh(fresh);
	if (whole)
		return;
	/* Records were lost: what went unheld cannot wait for its exit's. */
	std::vector<ProcId> lost;
	for (auto &[id, l] : live_)
		if (l.gone && !l.pin)
			lost.push_back(id);
	std::sort(lost.begin(), lost.end());
	for (ProcId id : lost)
		vanished(id);
}

/* It has ended: what it leaves for its collector, read while it can be. */
void
Tracker::end_now(Live &l)
{
	if (l.end)
		return;
	std::optional<Stat> s = stat_of(l);
	/* Readable through its pinned file: not released yet. */
	bool held = s.has_value();
	/* A zombie already when the watch began ended at an unknown time. */
	bool already = l.before && l.seen == 'Z' && !l.record_end;
	l.end = l.record_end ? *l.record_end : already ? l.created : now();
	if (held) {
		l.faults = s->minflt + s->cminflt;
		known_[l.id].final_count = s->cminflt;
		l.status = s->exit_code;
	} else {
		l.status = sys_.exit_status(l.pin.id());
	}
	known_[l.id].end = l.end;
	if (l.looked) {
		Event smp;
		smp.what = What::Sample;
		smp.t = std::max(*l.end, *l.looked);
		smp.proc = l.id;
		smp.state = state_since_look(l, smp.t);
		emit(smp);
	}
	std::optional<ProcId> parent = l.parent;
	if (l.exit_ppid)
		parent = id_of(*l.exit_ppid);
	else if (held)
		parent = id_of(s->ppid);
	l.parent = parent;
	known_[l.id].parent = parent;
	out_.before_end(l.id, *l.end);
	Event e;
	e.what = What::Ended;
	e.t = *l.end;
	e.observed = !l.record_end;
	e.proc = l.id;
	e.other = parent;
	e.status = l.status;
	e.zombie = held && s->state == 'Z';
	e.before = already;
	emit(e);
	handover(l);
}

void
Tracker::exited(ProcId id)
{
	if (Live *l = find(id))
		end_now(*l);
}

/* Its parent has ended: each child still here has gone to a reaper. */
void
Tracker::handover(Live &x)
{
	std::vector<ProcId> kids;

	for (auto &[id, l] : live_)
		if (l.parent == x.id && !l.orphaned && &l != &x)
			kids.push_back(id);
	std::sort(kids.begin(), kids.end());
	for (ProcId id : kids)
		if (Live *l = find(id))
			orphan(*l, x);
}

void
Tracker::orphan(Live &l, const Live &x)
{
	std::optional<Stat> s = stat_of(l);

	if (!s) {
		/* Gone already: told now, in the order it happened. */
		l.handover_unknown = true;
		if (l.gone || l.pin)
			vanished(l.id);
		return;
	}
	bool ended_first =
	    l.record_end ? *l.record_end <= *x.end : s->state == 'Z';
	if (ended_first)
		end_now(l);
	l.orphaned = *x.end + 1;
	l.parent = id_of(s->ppid);
	Event e;
	e.what = What::Orphaned;
	e.t = *l.orphaned;
	e.proc = l.id;
	e.other = l.parent;
	/* Ended since, its state at the hand-over is not known. */
	e.state = ended_first ? 'Z' : l.record_end ? '\0' : s->state;
	emit(e);
}

Candidate
Tracker::candidate(ProcId who)
{
	Candidate c;
	c.who = who;
	if (Live *p = find(who)) {
		c.base = p->base;
		if (!p->end) {
			std::optional<Stat> s = stat_of(*p);
			if (s)
				c.count = s->cminflt;
		} else {
			c.count = known_[who].final_count;
		}
		return c;
	}
	for (const Ancestor &a : ancestors_)
		if (a.id == who) {
			std::optional<Stat> s = sys_.stat(a.pin.id());
			if (s && sys_.alive(a.pin.id()))
				c.count = s->cminflt;
			c.base = a.base;
			return c;
		}
	if (who < known_.size()) {
		c.count = known_[who].final_count;
		c.base = known_[who].base;
	}
	return c;
}

/*
 * Where an orphan may have gone, nearest first: a subreaper among its
 * parent's live ancestors in the tree, then the watcher's own ancestors up
 * to the init of the namespace.
 */
void
Tracker::adopters(ProcId x, std::vector<Candidate> &into)
{
	for (std::optional<ProcId> a = known_[x].parent;
	     a && *a != watcher_ && *a < known_.size(); a = known_[*a].parent)
		if (Live *l = find(*a); l != nullptr && !l->end)
			into.push_back(candidate(*a));
	for (const Ancestor &a : ancestors_)
		into.push_back(candidate(a.id));
}

std::vector<Candidate>
Tracker::candidates(const Live &l)
{
	std::vector<Candidate> c;

	if (l.orphaned && l.parent) {
		c.push_back(candidate(*l.parent));
		return c;
	}
	if (l.parent)
		c.push_back(candidate(*l.parent));
	if (l.handover_unknown && l.parent)
		adopters(*l.parent, c);
	return c;
}

/*
 * When it was collected: when it was seen gone, but not before it ended or
 * passed to its collector, and before its collector's own end.
 */
Nanos
Tracker::causal(const Live &l, const Attribution &a) const
{
	Nanos lo = *l.end + 1;

	if (l.orphaned)
		lo = std::max(lo, *l.orphaned + 1);
	if (a.how == How::Released)
		return lo;
	Nanos t = now();
	if (a.by && *a.by < known_.size() && known_[*a.by].end)
		t = std::min(t, *known_[*a.by].end - 1);
	return std::max(t, lo);
}

void
Tracker::collected(Live &l, const Attribution &a, Nanos t)
{
	Event e;
	e.what = What::Collected;
	e.t = t;
	e.observed = true;
	e.proc = l.id;
	e.other = a.by;
	e.how = a.how;
	e.guess = a.guess;
	e.ignores = a.ignores;
	e.status = l.status;
	e.late =
	    a.by != watcher_ && a.how == How::Wait && behind_ && t > *l.end + 1;
	emit(e);
	release(l.id);
}

void
Tracker::release(ProcId id)
{
	Live *l = find(id);

	if (l == nullptr)
		return;
	auto it = by_pid_.find(l->pid);
	if (it != by_pid_.end() && it->second == id)
		by_pid_.erase(it);
	live_.erase(id);
}

/*
 * Who took an orphan that was gone before it was seen: its collector, or,
 * released, the nearest that ignores SIGCHLD, as the kernel releases an
 * orphan only when handed to one that does; else the reaper of last resort.
 */
ProcId
Tracker::adopter(const Attribution &a, ProcId parent)
{
	if (a.by && *a.by != parent)
		return *a.by;
	if (!(setup_.check || setup_.follow) || ancestors_.empty())
		return watcher_;
	for (const Ancestor &anc : ancestors_)
		if (sys_.ignores_sigchld(anc.pid))
			return anc.id;
	return ancestors_.back().id;
}

/* SIGCHLD ignored, read by number only while the number is still its. */
bool
Tracker::disposition(ProcId who)
{
	Live *p = find(who);
	if (p != nullptr)
		return !p->end && sys_.ignores_sigchld(p->pid);
	for (const Ancestor &a : ancestors_)
		if (a.id == who)
			return sys_.alive(a.pin.id()) &&
			       sys_.ignores_sigchld(a.pid);
	return false;
}

/* Someone else collected it, or the kernel released it: who, from what. */
void
Tracker::vanished(ProcId id)
{
	Live *lp = find(id);

	if (lp == nullptr)
		return;
	Live &l = *lp;
	std::optional<ProcId> parent = l.parent;
	end_now(l);
	/* Its parent ended, and it went before the hand-over was seen. */
	bool passed = l.handover_unknown && !l.orphaned && parent;
	/* Ended after it: its exit record names the one it went to. */
	bool named = passed && l.parent != parent;
	if (named)
		l.orphaned = *known_[*parent].end + 1;
	std::vector<Candidate> c = candidates(l);
	Attribution a = ledger_.attribute(l.faults, c);
	/* Not measured, nothing was credited: ask each its disposition. */
	if (!a.measured) {
		for (Candidate &k : c)
			k.ignores = disposition(k.who);
		a = ledger_.attribute(l.faults, c);
	}
	if (passed && !named && a.by != parent) {
		l.orphaned = *known_[*parent].end + 1;
		l.parent = adopter(a, *parent);
	}
	if (l.orphaned && passed) {
		Event e;
		e.what = What::Orphaned;
		e.t = *l.orphaned;
		e.proc = l.id;
		e.other = l.parent;
		e.state = *l.end < *l.orphaned ? 'Z' : 0;
		emit(e);
	}
	collected(l, a, causal(l, a));
}

/* Collects every zombie that is ours, looked at before it is collected. */
void
Tracker::collect_ours()
{
	for (;;) {
		ChildLook look = sys_.ended_child();
		have_children_ = look.any;
		if (!look.ended)
			return;
		pid_t pid = look.ended->pid;
		if (find_pid(pid) == nullptr)
			found(pid, watcher_);
		Live *l = find_pid(pid);
		if (l != nullptr) {
			if (Live *x = l->parent ? find(*l->parent) : nullptr)
				end_now(*x);
			end_now(*l);
		}
		std::optional<int> status = sys_.collect(pid);
		if (!status)
			return;
		if (l == nullptr)
			continue;
		l->status = *status;
		if (program_ && l->id == *program_)
			program_status_ = *status;
		Attribution a;
		a.by = watcher_;
		a.how = How::Wait;
		collected(*l, a, causal(*l, a));
	}
}

/* Found by looking, not told: a child of parent, or an orphan of ours. */
void
Tracker::found(pid_t pid, std::optional<ProcId> parent, bool before)
{
	if (find_pid(pid) != nullptr || pid == setup_.self)
		return;
	bool orphan = parent == watcher_;
	ProcId id = add_child(pid, orphan ? std::nullopt : parent, now());
	Live &l = live_.at(id);
	l.parent = parent;
	l.before = before;
	known_[id].parent = parent;
	if (!pin(l, std::nullopt)) {
		release(id);
		return;
	}
	/*
	 * Its start, to the clock tick: never before its parent's.  One that
	 * ran before the watch is told from when the watch began.
	 */
	std::optional<Stat> s = stat_of(l);
	Live *p = parent ? find(*parent) : nullptr;
	if (s)
		l.created = std::min(sys_.start_time(*s), now());
	/* What it collected before the watch is no evidence of now. */
	if (s && before) {
		l.threads = s->threads;
		l.base = known_[id].base = s->cminflt;
	}
	if (p != nullptr)
		l.created = std::max(l.created, p->created + 1);
	if (before)
		l.created = std::max(l.created, Nanos{0});
	created(l);
}

/* Where fork records are refused: each live process's list of children. */
void
Tracker::sweep()
{
	std::vector<std::pair<pid_t, ProcId>> parents;

	for (auto &[id, l] : live_)
		if (!l.end && l.pin)
			parents.emplace_back(l.pid, id);
	std::sort(parents.begin(), parents.end(),
	    [](const auto &a, const auto &b) { return a.second < b.second; });
	for (pid_t kid : sys_.children(setup_.self))
		found(kid, watcher_);
	for (auto &[pid, id] : parents)
		for (pid_t kid : sys_.children(pid))
			found(kid, id);
}

/* The state that held since the last look, from the kernel's account. */
char
Tracker::state_since_look(Live &l, Nanos t)
{
	std::optional<long long> ran = sys_.ran(l.pin.id());
	/* What has not run since cannot have changed its state. */
	std::optional<Stat> s;
	if (!ran || ran != l.ran)
		s = stat_of(l);
	char st = s ? s->state : l.seen;
	bool asleep = st != 'R' && st != 'Z' && st != 'X';
	char was = l.seen;

	if (ran && l.ran && l.looked)
		was = (double)(*ran - *l.ran) * 2 > (double)(t - *l.looked)
			  ? 'R'
		      : was != 'R' ? was
		      : asleep     ? st
				   : 'S';
	else if (!l.looked)
		was = st == 'Z' ? 'S' : st;
	l.looked = t;
	l.seen = st == 'Z' ? was : st;
	l.ran = ran;
	return was == 'Z' ? 'S' : was;
}

bool
Tracker::sample()
{
	Nanos t = now();
	bool ran_since = false;

	for (auto &[id, l] : live_) {
		if (l.end || !l.pin)
			continue;
		std::optional<long long> ran = l.ran;
		Event e;
		e.what = What::Sample;
		e.t = t;
		e.proc = id;
		e.state = state_since_look(l, t);
		ran_since = ran_since || !ran || ran != l.ran;
		emit(e);
	}
	return ran_since;
}

/* The periodic picture, read afresh: never what was true a moment ago. */
void
Tracker::look()
{
	Snapshot snap;
	std::vector<ProcId> ids;

	for (auto &[id, l] : live_)
		if (l.pin)
			ids.push_back(id);
	std::sort(ids.begin(), ids.end());
	for (ProcId id : ids) {
		Live &l = live_.at(id);
		std::optional<Stat> s = stat_of(l);
		if (!s)
			continue;
		/* Ended while the watcher was away: told before the look. */
		if (!l.end && s->state == 'Z' && sys_.exited(l.pin.id()))
			end_now(l);
		Look lk;
		lk.proc = id;
		lk.ppid = s->ppid;
		lk.state = s->state;
		lk.main_exited = !l.end && s->state == 'Z';
		lk.threads = l.main_exited ? l.threads : s->threads - 1;
		snap.looks.push_back(lk);
		if (!find(*program_) && l.parent == watcher_)
			snap.adopted++;
	}
	Event e;
	e.what = What::States;
	e.t = now();
	e.snapshot = log_.add_snapshot(std::move(snap));
	emit(e);
}

/* Before Linux 6.9 a collected process's pidfd does not hang up. */
void
Tracker::check_alive()
{
	std::vector<ProcId> gone;

	for (auto &[id, l] : live_)
		if (l.end && l.pin && !sys_.alive(l.pin.id()))
			gone.push_back(id);
	std::sort(gone.begin(), gone.end());
	for (ProcId id : gone)
		vanished(id);
}

void
Tracker::settle()
{
	ledger_.settle();
	behind_ = false;
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

std::optional<Nanos>
Tracker::give_up()
{
	std::optional<Nanos> due;
	Nanos t = now();

	for (auto &[id, l] : live_) {
		if (!setup_.check || !l.orphaned || !l.end || l.given_up)
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
