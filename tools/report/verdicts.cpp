// SPDX-License-Identifier: BSD-2-Clause
#include "report/verdicts.h"

#include "core/facts.h"

/* "after it ended", or from its hand-over if it was a zombie then. */
static std::string
since(const Verdict &v)
{
	return v.zombie_at_handover ? "it was handed over as a zombie"
				    : "it ended";
}

static std::string
collected_verdict(const Log &log, const Verdict &v)
{
	std::string by = label_or(log, v.collector, "its parent");
	std::string out = "reaper: " + label(log, v.orphan) +
			  " was collected with wait by " + by + " " +
			  (v.at_most ? "at most " : "") + secs(*v.delay) +
			  " after " + since(v) + "\n";
	if (v.guess != Guess::None)
		out += std::string("        Who collected it is inferred, not "
				   "measured: ") +
		       guess_reason(v.guess) + "\n";
	return out;
}

static std::string
released_verdict(const Log &log, const Verdict &v)
{
	const Process &p = log.proc(v.orphan);
	bool shown = log.events()[*p.collected].ignores ||
		     released_at_handover(p, *p.collected);
	std::string to = label_or(log, last_parent(log, p), "its parent");
	/* SA_NOCLDWAIT does the same, and does not show in SigIgn. */
	return "reaper: " + label(log, v.orphan) +
	       " was released by the kernel because " + to +
	       (shown ? " ignores SIGCHLD"
		      : " ignores SIGCHLD or sets "
			"SA_NOCLDWAIT") +
	       "; no one called wait\n";
}

static std::string
verdict(const Log &log, const Verdict &v)
{
	std::string who = "reaper: " + label(log, v.orphan);
	std::string to = label_or(log, v.reaper, "its reaper");

	switch (v.outcome) {
	case Outcome::Collected:
		return collected_verdict(log, v);
	case Outcome::Released:
		return released_verdict(log, v);
	case Outcome::NotCollected:
		return who + " was not collected by " + to + " within " +
		       secs(*v.delay) + " of " +
		       (v.zombie_at_handover ? "its hand-over as a zombie"
					     : "its end") +
		       "\n        " + to + " did not collect it within " +
		       secs(*v.delay) +
		       "; a reaper that never does lets zombies pile up.\n";
	case Outcome::Running:
		return who + " still ran when the check ended: no verdict\n";
	case Outcome::Unfollowed:
		break;
	}
	return who + " could not be followed to its end: no verdict\n";
}

std::string
verdicts(const Log &log, const Style &style)
{
	std::string out;

	for (const Verdict &v : judge(log, style.reaper_wait))
		out += verdict(log, v);
	return out;
}
