// SPDX-License-Identifier: BSD-2-Clause
/*
 * What the learner reads, rendered from the event log alone: the story as
 * it happens, the periodic picture, the summary, the timeline and the
 * reaper's verdicts.  Nothing here reads the system or keeps state.
 */
#ifndef ZOMBIE_RENDER_H
#define ZOMBIE_RENDER_H

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"

struct Style {
	int width = 78;      /* reasons are folded to fit this */
	bool colour = false; /* the timeline's zombie cells stand out */
	Nanos reaper_wait = 10'000'000'000; /* how long each was given */
};

/*
 * "exited with status 0", "was killed by signal 15 (SIGTERM; a shell shows
 * 143)", "ended".
 */
std::string describe_status(const std::optional<int> &status);
/* "sleeping (S)", "zombie (Z)", "gone" for 0. */
const char *state_name(char state);
/*
 * Reasons, indented under their line and folded to width, a word never
 * split unless longer than a line; a newline starts a lesson of its own.
 */
std::string fold(std::string_view text, int width);
/* "parent 42", "child 43", "zombie-watch (41)", "PID 1 (init)". */
std::string label(const Log &log, ProcId id);

/*
 * The paragraph for event i: its line, stamped with its time, and the
 * reasons folded under it; empty for events that print nothing.  Only
 * what came before i in the log is used, as when it is printed live.
 */
std::string narrate(const Log &log, size_t i, const Style &style);
/* One line a child that was a zombie, or why there is none. */
std::string summary(const Log &log);
/* The run, one row a process, as wide as the run from 0 to end needs. */
std::string timeline(const Log &log, Nanos end, const Style &style);
/* What the reaper check found for one orphan. */
enum class Outcome : std::uint8_t {
	Collected,    /* its reaper called wait and got its status */
	Released,     /* the kernel released it: its reaper ignores SIGCHLD */
	NotCollected, /* a zombie still when its wait ran out */
	Unfollowed,   /* it could not be followed to its end: no verdict */
	Running,      /* it still ran when the check ended: no verdict */
};
struct Verdict {
	ProcId orphan = 0;
	Outcome outcome = Outcome::Collected;
	std::optional<ProcId> reaper; /* who it was handed to */
	std::optional<ProcId> by;     /* who collected it, if anyone did */
	/* Collected: from its end, or from its hand-over if it was a zombie
	 * then; NotCollected: how long it was given. */
	std::optional<Nanos> delay;
	bool zombie_at_handover = false;
	bool late = false; /* delay is the most it can be */
	Guess guess = Guess::None;
};
/* One verdict each orphan left to a reaper other than the watcher. */
std::vector<Verdict> judge(const Log &log, const Style &style);
/* The verdicts as the reaper: lines say them. */
std::string verdicts(const Log &log, const Style &style);
/* 0 every orphan was collected or released; 3 one was not; 4 none was
 * checked, or one could not be followed. */
int check_status(const std::vector<Verdict> &v);
/* The narrowest column that fits a run this long. */
Nanos column_width(Nanos run);

#endif
