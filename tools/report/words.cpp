// SPDX-License-Identifier: BSD-2-Clause
/*
 * The shared words: the same status, state or process is said the same way
 * in the story, the summary, the timeline and the verdicts.
 */

#include "report/words.h"

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h> /* sigabbrev_np */
#include <sys/wait.h>

#include <algorithm>

#include "report/utf8.h"

namespace {

constexpr Nanos second = 1'000'000'000;
/* Reasons sit under their line's text, past its stamp. */
constexpr size_t reason_indent = 9;
/* Narrower terminals still get words, not a letter a line. */
constexpr int narrowest = 20;

} // namespace

/* printf-style by design: the format attribute checks every call. */
std::string
format(const char *fmt, ...) // NOLINT(cert-dcl50-cpp)
{
	va_list ap;
	va_list again;

	va_start(ap, fmt);
	va_copy(again, ap);
	/* va_start above: the analyser loses track of it (a false alarm). */
	// NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized)
	int n = vsnprintf(nullptr, 0, fmt, ap);
	va_end(ap);
	std::string s(n > 0 ? (size_t)n : 0, '\0');
	if (n > 0)
		(void)vsnprintf(s.data(), s.size() + 1, fmt, again);
	va_end(again);
	return s;
}

std::string
secs(Nanos t)
{
	return format("%.3fs", (double)t / (double)second);
}

std::string
stamp(Nanos t, bool bound)
{
	return format(
	    bound ? "[by%5.1fs] " : "[%5.1fs] ", (double)t / (double)second);
}

std::string
plural(int n, const char *one, const char *many)
{
	return format("%d %s", n, n == 1 ? one : many);
}

const char *
state_name(char state)
{
	switch (state) {
	case 0:
		return "gone";
	case 'R':
		return "running (R)";
	case 'S':
		return "sleeping (S)";
	case 'D':
		return "in uninterruptible sleep (D)";
	case 'Z':
		return "zombie (Z)";
	case 'T':
		return "stopped (T)";
	case 't':
		return "stopped by a tracer (t)";
	case 'I':
		return "idle (I)";
	default:
		return "in another state";
	}
}

std::string
signal_text(int sig)
{
	const char *abbrev = sigabbrev_np(sig);

	return abbrev != nullptr ? format("SIG%s", abbrev)
				 : format("signal %d", sig);
}

std::string
describe_status(const std::optional<int> &status)
{
	if (!status)
		return "ended";
	int s = *status;
	if (WIFEXITED(s))
		return format("exited with status %d", WEXITSTATUS(s));
	if (!WIFSIGNALED(s))
		return "ended";
	int sig = WTERMSIG(s);
	const char *abbrev = sigabbrev_np(sig);
	/* A learner meets the signal again as $?, where shells add 128. */
	return abbrev != nullptr
		   ? format("was killed by signal %d (SIG%s; a shell shows %d)",
			 sig, abbrev, 128 + sig)
		   : format("was killed by signal %d (a shell shows %d)", sig,
			 128 + sig);
}

/* A byte of the ASCII range as visible() shows it. */
static void
visible_ascii(std::string &out, unsigned char c)
{
	if (c == '\\')
		out += "\\\\";
	else if (c == '\n')
		out += "\\n";
	else if (c == '\r')
		out += "\\r";
	else if (c == '\t')
		out += "\\t";
	else if (c < 0x20 || c == 0x7F)
		out += format("\\x%02x", c);
	else
		out += (char)c;
}

std::string
visible(std::string_view name)
{
	std::string out;

	for (size_t i = 0; i < name.size();) {
		auto c = (unsigned char)name[i];
		size_t n = c < 0x80 ? 1 : utf8_length(name, i);
		if (n == 1)
			visible_ascii(out, c);
		else if (n == 0)
			out += format("\\x%02x", c);
		else if (utf8_c1(name, i, n))
			out += format("\\u%04x", (unsigned char)name[i + 1]);
		else
			out.append(name.substr(i, n));
		i += n == 0 ? 1 : n;
	}
	return out;
}

std::string
label(const Log &log, ProcId id)
{
	const Process &p = log.proc(id);

	switch (p.role) {
	case Role::Program:
		return format("parent %d", (int)p.pid);
	case Role::Child:
		return format("child %d", (int)p.pid);
	case Role::Watcher:
		return format("zombie-watch (%d)", (int)p.pid);
	case Role::Outsider:
		break;
	}
	if (p.comm.empty())
		return format("PID %d", (int)p.pid);
	return format("PID %d (", (int)p.pid) + visible(p.comm) + ")";
}

std::string
label_or(const Log &log, const std::optional<ProcId> &id, const char *none)
{
	return id ? label(log, *id) : std::string(none);
}

static std::string_view
skip_blanks(std::string_view s)
{
	size_t n = s.find_first_not_of(' ');

	return n == std::string_view::npos ? std::string_view() : s.substr(n);
}

/* Whole words a line; a word longer than a line is cut, not looped over. */
static std::string
fold_one(std::string_view text, int width)
{
	size_t room = (size_t)std::max(width, narrowest) - reason_indent;
	std::string out;

	for (text = skip_blanks(text); !text.empty();
	     text = skip_blanks(text)) {
		size_t cut = text.size();
		if (cut > room) {
			cut = text.rfind(' ', room);
			if (cut == std::string_view::npos || cut == 0)
				cut = room;
		}
		out.append(reason_indent, ' ');
		out.append(text.substr(0, cut));
		out += '\n';
		text.remove_prefix(cut);
	}
	return out;
}

/* A lesson of its own starts on a line of its own, after a newline. */
std::string
fold(std::string_view text, int width)
{
	std::string out;

	for (size_t nl = text.find('\n'); nl != std::string_view::npos;
	     nl = text.find('\n')) {
		out += fold_one(text.substr(0, nl), width);
		text.remove_prefix(nl + 1);
	}
	return out + fold_one(text, width);
}

/* Past a colour sequence of the watcher's own: names come escaped. */
static size_t
skip_colour(std::string_view text, size_t i)
{
	size_t end = text.find('m', i);

	return end == std::string_view::npos ? text.size() : end + 1;
}

size_t
columns(std::string_view text)
{
	size_t n = 0;

	for (size_t i = 0; i < text.size();) {
		if (text[i] == '\033') {
			i = skip_colour(text, i);
			continue;
		}
		if (((unsigned char)text[i] & 0xC0U) != 0x80U)
			n++;
		i++;
	}
	return n;
}

/* Where the part that fits in room columns ends: at a space, if any. */
static size_t
break_at(std::string_view text, size_t room)
{
	size_t last = 0;
	size_t n = 0;

	for (size_t i = 0; i < text.size();) {
		if (text[i] == '\033') {
			i = skip_colour(text, i);
			continue;
		}
		/* A space past the room still ends a part that fits. */
		if (text[i] == ' ' && i > 0)
			last = i;
		bool starts = ((unsigned char)text[i] & 0xC0U) != 0x80U;
		if (starts && ++n > room)
			return last > 0 ? last : i;
		i++;
	}
	return text.size();
}

/* A space that joins: never a break, a space once printed. */
constexpr char glue = '\x1f';

std::string
glued(std::string_view text)
{
	std::string out(text);

	std::replace(out.begin(), out.end(), ' ', glue);
	return out;
}

/*
 * Where to cut so that the part after is not one lone word, which would
 * read as a line of its own; where it is, the word before goes with it.
 */
static size_t
no_widow(std::string_view line, size_t cut, size_t lead, size_t room)
{
	std::string_view rest = skip_blanks(line.substr(cut));

	if (rest.empty() || rest.find(' ') != std::string_view::npos ||
	    columns(rest) >= room)
		return cut;
	size_t before = line.rfind(' ', cut - 1);
	return before != std::string_view::npos && before > lead ? before : cut;
}

std::string
fit(std::string_view line, size_t hang, const Style &style)
{
	size_t width = (size_t)std::max(style.width, narrowest);
	std::string out;

	if (!style.fit || columns(line) <= width) {
		out = std::string(line) + "\n";
	} else {
		/* An indented line goes on at its own indent. */
		size_t lead = std::min(line.find_first_not_of(' '), width / 2);
		hang = std::min(lead > 0 ? lead : hang, width / 2);
		for (size_t room = width; !line.empty(); room = width - hang) {
			size_t cut = std::max<size_t>(break_at(line, room), 1);
			if (cut < line.size())
				cut = no_widow(line, cut, lead, width - hang);
			if (!out.empty())
				out.append(hang, ' ');
			out.append(line.substr(0, cut));
			out += "\n";
			line = skip_blanks(line.substr(cut));
			lead = 0;
		}
	}
	std::replace(out.begin(), out.end(), glue, ' ');
	return out;
}

std::string
fit_each(std::string_view text, size_t hang, const Style &style)
{
	std::string out;

	while (!text.empty()) {
		size_t nl = text.find('\n');
		out += fit(text.substr(0, nl), hang, style);
		text.remove_prefix(
		    nl == std::string_view::npos ? text.size() : nl + 1);
	}
	return out;
}

const char *
guess_reason(Guess guess)
{
	switch (guess) {
	case Guess::NoFaults:
		return "it made no page faults of its own, so collecting it "
		       "added nothing to any count.";
	case Guess::Unread:
		return "it was gone before its page faults could be read, and "
		       "a collector is known by its count of its children's "
		       "faults, which grows by theirs.";
	case Guess::NoCount:
		return "the collector's count of its children's page faults "
		       "could not be read.";
	case Guess::Mixed:
		return "its collector's count grew for several children at "
		       "once, one of them gone before its page faults could "
		       "be read, so the count cannot tell them apart.";
	case Guess::WaitOrRelease:
		return "it was gone before its page faults could be read, and "
		       "had made none when last seen running, as a child made "
		       "with vfork need not: no count had to grow, so the "
		       "kernel may have released it instead (SA_NOCLDWAIT).";
	case Guess::None:
		break;
	}
	return "";
}
