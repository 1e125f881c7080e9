// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tracker at a process's end and after: what it leaves, where its
 * children go, and who collected it.  A collection the watcher did not make
 * is never seen, only its result: the process is gone, and the counts of
 * those who may have waited for it say who did.
 */

#include <algorithm>
#include <limits>

#include "core/tracker.h"

/*
 * Read as its collector releases it: its state is X, or it has left its
 * parent already (its parent's number reads 0), and who that was is lost.
 */
static bool
releasing(const Stat &s)
{
	return s.state == 'X' || s.ppid <= 0;
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
	} else if (l.pin) {
		/* Only its own pin may answer: one never held has none. */
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
	else if (held && !releasing(*s))
		parent = id_of(s->ppid);
	set_parent(l, parent);
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
	if (held)
		e.exit_signal = s->exit_signal;
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

	if (kids_.count(x.id) == 0)
		return;
	for (auto &[id, l] : live_)
		if (l.parent == x.id && &l != &x)
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

	if (!s || releasing(*s)) {
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
	set_parent(l, id_of(s->ppid));
	Event e;
	e.what = What::Orphaned;
	e.t = *l.orphaned;
	e.proc = l.id;
	e.other = l.parent;
	/* Ended since, its state at the hand-over is not known. */
	e.state = ended_first ? 'Z' : l.record_end ? '\0' : s->state;
	emit(e);
}

/*
 * A collector's count of its children's faults, read once a turn for all
 * it collected: a reading made after a child was known gone includes that
 * child's, as the kernel adds them before it lets the child go.
 */
template <class Read>
std::optional<long long>
Tracker::count_of(ProcId who, GoneBy gone_by, Read read)
{
	auto it = counts_.find(who);
	if (it != counts_.end() &&
	    (it->second.read > gone_by.asked ||
		(gone_by.seen && it->second.at > *gone_by.seen)))
		return it->second.count;
	Count c;
	c.read = ++asked_;
	c.at = sys_.now();
	if (std::optional<Stat> s = read())
		c.count = s->cminflt;
	counts_[who] = c;
	return c.count;
}

Candidate
Tracker::candidate(ProcId who, GoneBy gone_by)
{
	Candidate c;
	c.who = who;
	if (Live *p = find(who)) {
		c.base = p->base;
		if (!p->end)
			c.count =
			    count_of(who, gone_by, [&] { return stat_of(*p); });
		else
			c.count = known_[who].final_count;
		return c;
	}
	for (const Ancestor &a : ancestors_)
		if (a.id == who) {
			c.count = count_of(who, gone_by, [&] {
				std::optional<Stat> s = sys_.stat(a.pin.id());
				return s && sys_.alive(a.pin.id())
					   ? s
					   : std::nullopt;
			});
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
Tracker::adopters(ProcId x, std::vector<Candidate> &into, GoneBy gone_by)
{
	for (std::optional<ProcId> a = known_[x].parent;
	     a && *a != watcher_ && *a < known_.size(); a = known_[*a].parent)
		if (Live *l = find(*a); l != nullptr && !l->end)
			into.push_back(candidate(*a, gone_by));
	for (const Ancestor &a : ancestors_)
		into.push_back(candidate(a.id, gone_by));
}

std::vector<Candidate>
Tracker::candidates(const Live &l, GoneBy gone_by)
{
	std::vector<Candidate> c;

	if (l.orphaned && l.parent) {
		c.push_back(candidate(*l.parent, gone_by));
		return c;
	}
	if (l.parent)
		c.push_back(candidate(*l.parent, gone_by));
	if (l.handover_unknown && l.parent)
		adopters(*l.parent, c, gone_by);
	return c;
}

/*
 * When it was collected: when it was seen gone, but not before it ended or
 * passed to its collector, and before its collector's own end.
 */
Nanos
Tracker::causal(
    const Live &l, const Attribution &a, std::optional<Nanos> seen) const
{
	Nanos lo = *l.end + 1;

	if (l.orphaned)
		lo = std::max(lo, *l.orphaned + 1);
	if (a.how == How::Released)
		return lo;
	/* Told by a wait that returned before this turn's work: by then. */
	Nanos t = seen ? std::min(*seen, now()) : now();
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
	/*
	 * Late: the watcher was behind; or it never held the process, so
	 * the collection came any time from the end to when it was missed;
	 * or its collector forked since, and no record says whether its
	 * wait came before that fork or after.
	 */
	bool unheld = l.gone && t - *l.end > LATE;
	const Live *by = a.by ? find(*a.by) : nullptr;
	Nanos since = std::max(*l.end, l.orphaned.value_or(0));
	bool overtaken = by != nullptr && by->forked > since && by->forked < t;
	e.late = a.by != watcher_ && a.how == How::Wait &&
		 (behind_ || unheld || overtaken) && t > *l.end + 1;
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
	set_parent(*l, std::nullopt);
	live_.erase(id);
}

void
Tracker::set_parent(Live &l, std::optional<ProcId> parent)
{
	if (l.parent) {
		auto it = kids_.find(*l.parent);
		if (it != kids_.end() && --it->second <= 0)
			kids_.erase(it);
	}
	if (parent)
		kids_[*parent]++;
	l.parent = parent;
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

/*
 * Someone else collected it, or the kernel released it: who, from what.
 * It is known gone by seen, the time a wait told it; else from now, or
 * from when a pin found it so.
 */
void
Tracker::vanished(ProcId id, std::optional<Nanos> seen)
{
	Live *lp = find(id);

	if (lp == nullptr)
		return;
	Live &l = *lp;
	GoneBy gone_by;
	gone_by.seen = seen;
	gone_by.asked = seen ? std::numeric_limits<Asked>::max() : ++asked_;
	if (l.gone)
		gone_by.asked = std::min(gone_by.asked, l.gone_at);
	std::optional<ProcId> parent = l.parent;
	end_now(l);
	/* Its parent ended, and it went before the hand-over was seen. */
	bool passed = l.handover_unknown && !l.orphaned && parent;
	/* Ended after it: its exit record names the one it went to. */
	bool named = passed && l.parent != parent;
	if (named)
		l.orphaned = *known_[*parent].end + 1;
	std::vector<Candidate> c = candidates(l, gone_by);
	Attribution a = ledger_.attribute(l.faults, c, l.least);
	/* Not measured, nothing was credited: ask each its disposition. */
	if (!a.measured) {
		for (Candidate &k : c)
			k.ignores = disposition(k.who);
		a = ledger_.attribute(l.faults, c, l.least);
	}
	if (passed && !named && a.by != parent) {
		l.orphaned = *known_[*parent].end + 1;
		set_parent(l, adopter(a, *parent));
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
	/*
	 * Released with no hand-over, it was released as it ended: seen a
	 * zombie then, it was read inside the kernel's exit.
	 */
	if (a.how == How::Released && !l.orphaned)
		out_.never_zombie(l.id);
	collected(l, a, causal(l, a, seen));
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
