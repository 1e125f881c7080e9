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

static std::string
leak_verdict(const Log &log, const Leak &l)
{
	std::string by = label(log, l.parent), kid = label(log, l.child);

	if (l.left)
		return "leak: " + by + " held " + kid + " as a zombie for " +
		       secs(l.held) + ", then ended\n";
	if (l.open)
		return "leak: " + by + " still held " + kid +
		       " as a zombie after " + secs(l.held) + ", at the end\n";
	return "leak: " + by + " held " + kid + " as a zombie for " +
	       (l.at_most ? "at most " : "") + secs(l.held) + "\n";
}

/* Why the check could not conclude, where it found no leak. */
static std::string
unsure(const LeakCheck &c, const ExitFacts &f)
{
	if (f.records_refused)
		return "without fork records, a child may have come and gone "
		       "unseen";
	if (f.records_lost)
		return "the kernel lost records, and a child's with them";
	return plural((int)c.unjudged, "process", "processes") +
	       " could not be followed to its collection";
}

std::string
leak_verdicts(const Log &log, const LeakCheck &c, Nanos limit,
    const ExitFacts &f, const Style &style)
{
	std::string out;

	for (const Leak &l : c.leaks)
		out += leak_verdict(log, l);
	switch (leaks_answer(f)) {
	case ExitStatus::Zombie:
		return out + "leaks: " + std::to_string(c.leaks.size()) +
		       " found: zombies held over " + secs(limit) +
		       ", or left behind\n";
	case ExitStatus::Unchecked:
		return out + "leaks: none found, but not checked:\n" +
		       fold(unsure(c, f), style.width);
	default:
		break;
	}
	return out + "leaks: none: no process held a zombie over " +
	       secs(limit) + " or left one behind\n";
}
