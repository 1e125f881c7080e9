// SPDX-License-Identifier: BSD-2-Clause
/*
 * The tracker's looks: children found where no record told of them, and
 * the periodic picture and the timeline's samples, read afresh each time.
 */

#include <algorithm>

#include "core/tracker.h"

/* Found by looking, not told: a child of parent, or an orphan of ours. */
void
Tracker::found(pid_t pid, std::optional<ProcId> parent, bool before)
{
	if (find_pid(pid) != nullptr || pid == setup_.self)
		return;
	bool orphan = parent == watcher_;
	ProcId id = add_child(pid, orphan ? std::nullopt : parent, now());
	Live &l = live_.at(id);
	set_parent(l, parent);
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
	/*
	 * Made where the kernel writes no records: none of its either, and
	 * it was made after they stopped, or a record would have told it.
	 */
	if (p != nullptr && p->unrecorded) {
		no_records(l, std::max(l.created, *p->unrecorded));
		l.created = *l.unrecorded;
	}
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
