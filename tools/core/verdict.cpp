// SPDX-License-Identifier: BSD-2-Clause
#include "core/verdict.h"

#include <algorithm>

#include "core/facts.h"

/* Orphans left to a reaper other than the watcher: the ones it judges. */
static bool
left_to_reaper(const Log &log, const Process &p)
{
	if (p.role != Role::Child || !p.orphaned)
		return false;
	const std::optional<ProcId> &to = log.events()[*p.orphaned].other;
	return to && !is_watcher(log, to);
}

/*
 * A reaper can collect an orphan only once it is both handed over and
 * ended: its delay counts from the later of the two.
 */
static Nanos
collectable_from(const Log &log, const Process &p)
{
	Nanos handed = *log.when(p.orphaned);
	return std::max(handed, log.when(p.ended).value_or(handed));
}

/*
 * A signal stops the check where it is: the orphans then awaited were
 * given only the time until it came.
 */
static std::optional<Nanos>
stopped_at(const Log &log)
{
	for (const Event &e : log.events())
		if (e.what == What::Signalled)
			return e.t;
	return std::nullopt;
}

static Verdict
judge_one(const Log &log, ProcId id, Nanos wait)
{
	const Process &p = log.proc(id);
	Verdict v;

	v.orphan = id;
	v.reaper = log.events()[*p.orphaned].other;
	v.zombie_at_handover = p.ended && *p.ended < *p.orphaned;
	if (p.collected) {
		const Event &c = log.events()[*p.collected];
		v.outcome =
		    c.how == How::Wait ? Outcome::Collected : Outcome::Released;
		v.collector = c.other;
		v.delay = c.t - collectable_from(log, p);
		v.at_most = c.late;
		v.guess = c.guess;
	} else if (p.unfollowed) {
		v.outcome = Outcome::Unfollowed;
	} else if (p.ended) {
		v.outcome = Outcome::NotCollected;
		v.delay = wait;
		if (std::optional<Nanos> stop = stopped_at(log))
			v.delay = std::clamp(
			    *stop - collectable_from(log, p), Nanos(0), wait);
	} else {
		v.outcome = Outcome::Running;
	}
	return v;
}

std::vector<Verdict>
judge(const Log &log, Nanos wait)
{
	std::vector<Verdict> out;

	for (ProcId id = 0; id < log.procs().size(); id++)
		if (left_to_reaper(log, log.proc(id)))
			out.push_back(judge_one(log, id, wait));
	return out;
}

CheckFound
tally(const std::vector<Verdict> &v)
{
	CheckFound found;

	for (const Verdict &x : v)
		switch (x.outcome) {
		case Outcome::Collected:
		case Outcome::Released:
			found.settled++;
			break;
		case Outcome::NotCollected:
			found.not_collected++;
			break;
		case Outcome::Unfollowed:
		case Outcome::Running:
			found.unjudged++;
			break;
		}
	return found;
}
