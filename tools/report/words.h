// SPDX-License-Identifier: BSD-2-Clause
/*
 * The words every renderer shares: how a status, a state, a signal, a
 * process and a time are said, and reasons folded to the terminal's width,
 * in the style the watcher prints in.  Nothing here reads the system or
 * keeps state.
 */
#ifndef ZOMBIE_WORDS_H
#define ZOMBIE_WORDS_H

#include <optional>
#include <string>
#include <string_view>

#include "core/log.h"

struct Style {
	int width = 78;      /* reasons are folded to fit this */
	bool fit = false;    /* and every other line too: for a terminal */
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
/* "SIGTERM", or "signal 42" for a signal glibc has no name for. */
std::string signal_text(int sig);
/*
 * Reasons, indented under their line and folded to width, a word never
 * split unless longer than a line; a newline starts a lesson of its own.
 */
std::string fold(std::string_view text, int width);
/* Where a folded line goes on: past its stamp, clear of its reasons. */
constexpr size_t HANG = 11;
/*
 * A line and its newline; where style.fit, folded at spaces to the width,
 * its later parts indented by hang.  Where it is not, a line stays one
 * event, for the programs that read it.
 */
std::string fit(std::string_view line, size_t hang, const Style &style);
/* Text that fit() never breaks, as a name and its number. */
std::string glued(std::string_view text);
/* Each line of text, as fit() makes it. */
std::string fit_each(std::string_view text, size_t hang, const Style &style);
/* The columns text takes on a terminal: a character each, colour none. */
size_t columns(std::string_view text);
/* "parent 42", "child 43", "zombie-watch (41)", "PID 1 (init)". */
std::string label(const Log &log, ProcId id);
/* The label, or none where the log does not know who. */
std::string label_or(
    const Log &log, const std::optional<ProcId> &id, const char *none);
/* Why who collected a process is inferred: a sentence; "" for None. */
const char *guess_reason(Guess guess);

/*
 * A name from another process or the system, as the text shows it: a
 * control byte (C0, DEL, a C1 control in UTF-8) or a byte that is not
 * UTF-8 as \x1b, \r, \n, \t, \u009b or \xff, and a backslash as \\, so
 * that no name drives the terminal or passes for another; printable
 * UTF-8 as it is.
 */
std::string visible(std::string_view name);

/* printf into a string. */
std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
/* "1.500s" */
std::string secs(Nanos t);
/*
 * t to the millisecond, as secs() shows it: a span between two times told
 * is the difference of the two as told, so that the three agree.
 */
inline Nanos
as_told(Nanos t)
{
	return t < 0 ? -((-t + 500'000) / 1'000'000 * 1'000'000)
		     : (t + 500'000) / 1'000'000 * 1'000'000;
}
/* "[  1.5s] ", before each line of the story. */
/* bound: t is the latest it can have been: "[by  1.3s] ". */
std::string stamp(Nanos t, bool bound = false);
/* "1 process", "2 processes". */
std::string plural(int n, const char *one, const char *many);

#endif
