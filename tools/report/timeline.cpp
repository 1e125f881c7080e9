// SPDX-License-Identifier: BSD-2-Clause
/*
 * The summary and the timeline.  A row's letters come from the log's
 * samples while the process lived and from its own events after: 'z' while
 * its threads outlived its main one, 'Z' from its end to its collection.
 */

#include "report/timeline.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>
#include <vector>

#include "core/facts.h"

namespace {

constexpr Nanos second = 1'000'000'000;
constexpr int most_columns = 72;
/* 21,000 processes would print 21,000 rows that no one reads. */
constexpr size_t most_rows = 40;

struct Sample {
	Nanos t;
	char state;
};

} // namespace

static std::string
threads_summary(const Log &log, ProcId id)
{
	const Process &p = log.proc(id);

	if (!p.main_exited)
		return "";
	std::string from = secs(*log.when(p.main_exited));
	if (!p.ended)
		return "summary: " + label(log, id) +
		       " has been no zombie since " + from +
		       ", while its main thread is gone: its other threads "
		       "still run\n";
	return "summary: " + label(log, id) +
	       " was no zombie while its main thread was gone, from " + from +
	       " to " + secs(*log.when(p.ended)) +
	       ": its other threads still ran\n";
}

static std::string
zombie_summary(const Log &log, ProcId id)
{
	const Process &p = log.proc(id);
	std::string who = "summary: " + label(log, id);
	Nanos from = *log.when(p.ended);

	if (released_at_end(log, p))
		return who +
		       " was never a zombie: the kernel released it as it "
		       "ended\n";
	/* Ended before the watch: when is not known, only since when. */
	bool before = log.events()[*p.ended].before;
	std::string since = before ? "before the watch began" : secs(from);
	if (!p.collected)
		return who + " has been a zombie since " + since +
		       ", and still is\n";
	Nanos to = *log.when(p.collected);
	/* Seen late, the end of the span is only a bound. */
	const char *most = log.events()[*p.collected].late ? "at most " : "";
	if (before)
		return who + " was a zombie from before the watch began to " +
		       most + secs(to) + "\n";
	return who + " was a zombie from " + secs(from) + " to " + most +
	       secs(to) + ", for " + most + secs(as_told(to) - as_told(from)) +
	       "\n";
}

/* Said first: every line after it may lack what the lost ones held. */
static std::string
lost_summary(const Log &log)
{
	long long lost = 0;
	bool told = false, at_least = false;

	for (const Event &e : log.events())
		if (e.what == What::Lost) {
			lost += e.count;
			told = true;
			at_least = at_least || e.at_least;
		}
	if (!told)
		return "";
	std::string what = lost == 0 ? "may have lost fork and exit records"
				     : format("lost %s%lld fork and exit "
					      "record%s",
					   at_least ? "at least " : "", lost,
					   lost == 1 ? "" : "s");
	return "summary: the kernel " + what +
	       ": a process of those moments may be missing, and its end told "
	       "late\n";
}

std::string
summary(const Log &log)
{
	std::string out = lost_summary(log);
	bool child = false;
	bool zombie = false;

	for (ProcId id = 0; id < log.procs().size(); id++) {
		const Process &p = log.proc(id);
		if (p.role != Role::Child)
			continue;
		child = true;
		out += threads_summary(log, id);
		if (p.ended) {
			zombie = true;
			out += zombie_summary(log, id);
		}
	}
	if (!child)
		return out + "summary: no child was seen\n";
	if (!zombie)
		out += "summary: no zombie was seen\n";
	return out;
}

Nanos
column_width(Nanos run)
{
	return column_width(run, most_columns);
}

Nanos
column_width(Nanos run, int most)
{
	static constexpr std::array<Nanos, 17> widths = {second / 10,
	    second / 5, second / 2, second, 2 * second, 5 * second, 10 * second,
	    30 * second, 60 * second, 300 * second, 600 * second, 1800 * second,
	    3600 * second, 7200 * second, 21600 * second, 43200 * second,
	    86400 * second};

	/* Each width is even in nanoseconds: half a column is exact. */
	for (Nanos w : widths)
		if (run <= w * most + w / 2)
			return w;
	return widths.back();
}

/* Rounded: a run of 60.003 s has 60 columns of a second. */
static int
column_count(Nanos end, Nanos width, int most)
{
	Nanos n = end / width;

	if (end % width * 2 >= width)
		n++;
	return (int)std::clamp<Nanos>(n, 1, most);
}

/*
 * Where each letter held: alive as the samples say, 'z' while its threads
 * outlived its main one, 'Z' from its end until it was collected.  One
 * the watcher never looked at while it lived is '?': its state is unknown,
 * and drawing it asleep would state a guess.
 */
static std::vector<Stretch>
stretches(
    const Log &log, ProcId id, const std::vector<Sample> &samples, Nanos end)
{
	const Process &p = log.proc(id);
	Nanos gone = log.when(p.collected)
			 .value_or(log.when(p.unfollowed).value_or(end));
	Nanos ended = log.when(p.ended).value_or(gone);
	Nanos alive = log.when(p.main_exited).value_or(ended);
	std::vector<Stretch> out;

	if (p.ended && !released_at_end(log, p))
		out.push_back({ended, gone, 'Z'});
	out.push_back({alive, ended, 'z'});
	Nanos from = log.when(p.created).value_or(0);
	char last = '?';
	for (const Sample &s : samples) {
		out.push_back({from, std::min(s.t, alive), s.state});
		from = s.t;
		last = s.state;
	}
	out.push_back({from, alive, last});
	return out;
}

static Nanos
overlap(Nanos a0, Nanos a1, Nanos b0, Nanos b1)
{
	Nanos lo = std::max(a0, b0);
	Nanos hi = std::min(a1, b1);

	return hi > lo ? hi - lo : 0;
}

/* The letter that held for most of [c0, c1), or '.' if absence did. */
static char
cell(const std::vector<Stretch> &row, Nanos c0, Nanos c1)
{
	std::vector<std::pair<char, Nanos>> held;
	Nanos present = 0;

	for (const Stretch &s : row) {
		Nanos d = overlap(c0, c1, s.from, s.to);
		if (d == 0)
			continue;
		present += d;
		auto it = std::find_if(held.begin(), held.end(),
		    [&](const auto &h) { return h.first == s.letter; });
		if (it == held.end())
			held.emplace_back(s.letter, d);
		else
			it->second += d;
	}
	std::pair<char, Nanos> best('.', 0);
	for (const auto &h : held)
		if (h.second > best.second)
			best = h;
	return c1 - c0 - present > best.second ? '.' : best.first;
}

static std::string
cells(const std::vector<Stretch> &row, int ncols, Nanos width, bool colour)
{
	std::string out;
	char prev = 0;

	for (int c = 0; c < ncols; c++) {
		char ch = cell(row, c * width, (c + 1) * width);
		/* On a terminal the zombie stands out in reverse red. */
		if (colour && ch == 'Z' && prev != 'Z')
			out += "\033[1;7;31m";
		if (colour && ch != 'Z' && prev == 'Z')
			out += "\033[0m";
		out += ch;
		prev = ch;
	}
	if (colour && prev == 'Z')
		out += "\033[0m";
	return out;
}

/* How the row ends: its status, and who collected it, if anyone did. */
static std::string
how_it_ended(const Log &log, const Process &p)
{
	if (!p.ended && !p.collected)
		return p.unfollowed ? " could not be followed" : "";
	const Event &end = log.events()[p.ended ? *p.ended : *p.collected];
	std::string out = " " + describe_status(end.status);
	if (!p.collected)
		return out + "; not collected by " +
		       glued(label_or(log, last_parent(log, p), "its parent"));
	const Event &c = log.events()[*p.collected];
	if (c.how == How::Released)
		return out + "; released by the kernel";
	return out + "; collected by " +
	       glued(label_or(log, c.other, "its parent"));
}

/*
 * A row, its letters and how it ended; where that does not fit after the
 * letters, it goes whole on the lines below, under them.
 */
static std::string
row_text(const std::string &row, const std::string &end, size_t indent,
    const Style &style)
{
	if (!style.fit || columns(row + end) <= (size_t)style.width)
		return fit(row + end, indent, style);
	return fit(row, indent, style) +
	       fit(std::string(indent, ' ') + end.substr(1), indent, style);
}

/* Its last time is left out where it would pass the line's end. */
static std::string
ruler(int ncols, Nanos width, size_t indent, const Style &style)
{
	std::string top(indent, ' ');
	std::string marks(indent, ' ');

	for (int c = 0; c <= ncols; c += 10) {
		std::string mark =
		    format("%gs", (double)(c * width) / (double)second);
		if (c + 10 <= ncols) {
			mark.resize(std::max(mark.size(), (size_t)10), ' ');
			marks += "|         ";
		} else
			marks += "|";
		if (!style.fit ||
		    top.size() + mark.size() <= (size_t)style.width)
			top += mark;
	}
	return top + "\n" + marks + "\n";
}

/* The samples of the rows shown, in one pass over the log. */
static std::vector<std::vector<Sample>>
samples_of(const Log &log, const std::vector<ProcId> &shown)
{
	std::vector<int> row(log.procs().size(), -1);
	std::vector<std::vector<Sample>> out(shown.size());

	for (size_t k = 0; k < shown.size(); k++)
		row[shown[k]] = (int)k;
	for (const Event &e : log.events())
		if (e.what == What::Sample && e.state != 0 &&
		    row.at(e.proc) >= 0)
			out[(size_t)row[e.proc]].push_back({e.t, e.state});
	return out;
}

std::vector<ProcId>
timeline_rows(const Log &log, size_t *more)
{
	std::vector<ProcId> shown;

	*more = 0;
	for (ProcId id = 0; id < log.procs().size(); id++) {
		Role role = log.proc(id).role;
		if (role != Role::Program && role != Role::Child)
			continue;
		if (shown.size() < most_rows)
			shown.push_back(id);
		else
			++*more;
	}
	return shown;
}

std::string
timeline(const Log &log, Nanos end, const Style &style)
{
	size_t more = 0;
	std::vector<ProcId> shown = timeline_rows(log, &more);
	std::vector<std::vector<Sample>> samples = samples_of(log, shown);
	size_t indent = 0;
	std::string rows;
	bool threads = false;
	bool stuck = false;
	bool stopped = false;
	bool unseen = false;

	for (ProcId id : shown)
		indent = std::max(indent, label(log, id).size() + 2);
	/* On a terminal a row's letters end by its edge; how it ended folds. */
	int most = most_columns;
	if (style.fit)
		most = std::clamp(style.width - (int)indent, 10, most_columns);
	Nanos width = column_width(end, most);
	int ncols = column_count(end, width, most);
	for (size_t k = 0; k < shown.size(); k++) {
		std::string name = label(log, shown[k]);
		std::string row =
		    cells(stretches(log, shown[k], samples[k], end), ncols,
			width, style.colour);
		threads = threads || row.find('z') != std::string::npos;
		stuck = stuck || row.find('D') != std::string::npos;
		stopped =
		    stopped || row.find_first_of("Tt") != std::string::npos;
		unseen = unseen || row.find('?') != std::string::npos;
		name.resize(indent, ' ');
		rows += row_text(name + row,
		    how_it_ended(log, log.proc(shown[k])), indent, style);
	}
	if (more > 0)
		rows += "... and " +
			plural((int)more, "more process", "more processes") +
			"\n";
	/* A letter is never parted from its meaning. */
	return fit(glued(format("timeline: one column is %gs;",
		       (double)width / (double)second)) +
		       " " + glued("S sleeping,") + " " + glued("R running,") +
		       " " + glued("Z zombie,") + " " + glued(". not there") +
		       (stuck ? ", " + glued("D uninterruptible sleep") : "") +
		       (stopped ? ", " + glued("T stopped") : "") +
		       (threads ? ", " + glued("z main thread gone, threads "
					       "run")
				: "") +
		       (unseen ? ", " + glued("? not seen alive") : ""),
		   10, style) +
	       ruler(ncols, width, indent, style) + rows;
}

std::vector<Stretch>
timeline_row(const Log &log, ProcId id, Nanos end)
{
	std::vector<std::vector<Sample>> samples = samples_of(log, {id});
	std::vector<Stretch> out;

	std::vector<Stretch> all = stretches(log, id, samples[0], end);

	/* They do not overlap: in time's order, one span each state held. */
	std::sort(all.begin(), all.end(),
	    [](const Stretch &a, const Stretch &b) { return a.from < b.from; });
	for (const Stretch &s : all) {
		if (s.to <= s.from)
			continue;
		if (!out.empty() && out.back().letter == s.letter &&
		    out.back().to >= s.from)
			out.back().to = std::max(out.back().to, s.to);
		else
			out.push_back(s);
	}
	return out;
}
