// SPDX-License-Identifier: BSD-2-Clause
#include "core/leaks.h"

namespace {

/* Who holds each ended process as a zombie, since when. */
struct Hold {
	bool ended = false;
	std::optional<ProcId> by;
	Nanos since = 0;
	bool done = false; /* collected or released */
};

bool
in_tree(const Log &log, const std::optional<ProcId> &id)
{
	if (!id)
		return false;
	Role r = log.proc(*id).role;
	return r == Role::Program || r == Role::Child;
}

class Judge {
      public:
	Judge(const Log &log, Nanos limit)
	    : log_(log), limit_(limit), holds_(log.procs().size())
	{
	}
	void event(const Event &e);
	void finish(Nanos end);
	LeakCheck found;

      private:
	/* Its holder let it go at t: collected, or handed on as it ended. */
	void let_go(ProcId id, Nanos t, bool left, bool at_most);

	const Log &log_;
	Nanos limit_;
	std::vector<Hold> holds_;
};

void
Judge::let_go(ProcId id, Nanos t, bool left, bool at_most)
{
	const Hold &h = holds_[id];
	Nanos held = t - h.since;

	if (!in_tree(log_, h.by) || (!left && held <= limit_))
		return;
	Leak l;
	l.child = id;
	l.parent = *h.by;
	l.held = held;
	l.at_most = at_most;
	l.left = left;
	found.leaks.push_back(l);
}

void
Judge::event(const Event &e)
{
	if (log_.proc(e.proc).role != Role::Child)
		return;
	Hold &h = holds_[e.proc];
	switch (e.what) {
	case What::Ended:
		h.ended = true;
		h.by = e.other;
		h.since = e.t;
		break;
	case What::Orphaned:
		if (!h.ended || h.done)
			break;
		let_go(e.proc, e.t, true, false);
		h.by = e.other;
		h.since = e.t;
		break;
	case What::Collected:
		if (h.ended && !h.done)
			let_go(e.proc, e.t, false, e.late);
		h.done = true;
		break;
	case What::Unfollowed:
		h.done = true;
		found.unjudged++;
		break;
	default:
		break;
	}
}

/* Not collected yet: a leak once held past the limit; else undecided. */
void
Judge::finish(Nanos end)
{
	for (ProcId id = 0; id < holds_.size(); id++) {
		const Hold &h = holds_[id];
		if (!h.ended || h.done)
			continue;
		if (!in_tree(log_, h.by) || end - h.since <= limit_) {
			found.unjudged += in_tree(log_, h.by) ? 1 : 0;
			continue;
		}
		let_go(id, end, false, false);
		found.leaks.back().open = true;
	}
}

} // namespace

LeakCheck
find_leaks(const Log &log, Nanos limit, Nanos end)
{
	Judge j(log, limit);

	for (const Event &e : log.events())
		j.event(e);
	j.finish(end);
	return j.found;
}

CheckFound
tally(const LeakCheck &c)
{
	CheckFound f;
	f.not_collected = c.leaks.size();
	f.unjudged = c.unjudged;
	return f;
}
