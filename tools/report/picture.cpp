// SPDX-License-Identifier: BSD-2-Clause
#include "report/picture.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "report/timeline.h"
#include "report/words.h"

namespace {

constexpr double width = 960, label_width = 250, margin = 20;
constexpr double top = 56, row_height = 28, bar = 18;
constexpr double second = 1e9;
constexpr size_t name_room = 30; /* characters */

struct Shade {
	char letter;
	const char *fill;
	const char *name;
};

/* Light enough for the letter on it to be read, printed or not. */
constexpr Shade shades[] = {
    {'S', "#c9d6e8", "sleeping"},
    {'R', "#8fd18f", "running"},
    {'D', "#b3a7d9", "uninterruptible sleep"},
    {'T', "#d9b38c", "stopped"},
    {'t', "#d9b38c", "stopped by a tracer"},
    {'z', "#fdc086", "main thread gone, threads run"},
    {'Z', "#f08070", "zombie"},
    {'?', "#eeeeee", "not seen alive"},
};

const Shade &
shade_of(char letter)
{
	for (const Shade &s : shades)
		if (s.letter == letter)
			return s;
	return shades[std::size(shades) - 1];
}

/* A name from another process: made visible, then fit for XML. */
std::string
xml(std::string_view text)
{
	std::string out;

	for (char c : visible(text)) {
		switch (c) {
		case '&':
			out += "&amp;";
			break;
		case '<':
			out += "&lt;";
			break;
		case '>':
			out += "&gt;";
			break;
		case '"':
			out += "&quot;";
			break;
		default:
			out += c;
		}
	}
	return out;
}

class Canvas {
      public:
	explicit Canvas(Nanos end) : end_(std::max<Nanos>(end, 1))
	{
	}
	double x(Nanos t) const
	{
		double room = width - label_width - margin;
		return label_width + room *
					 (double)std::clamp<Nanos>(t, 0, end_) /
					 (double)end_;
	}
	Nanos end() const
	{
		return end_;
	}
	std::string out;
	bool unseen = false; /* a row has a process never seen alive */

      private:
	Nanos end_;
};

/* Ticks of 1, 2 or 5 times a power of ten seconds, ten at most. */
double
tick_step(Nanos end)
{
	double run = (double)end / second;

	/* No libm: the programs link against libc alone. */
	double power = 0.001;
	for (int decade = 0; decade < 12; decade++) {
		for (double m : {1.0, 2.0, 5.0})
			if (run / (power * m) <= 10)
				return power * m;
		power *= 10;
	}
	return power;
}

void
axis(Canvas &c, double bottom)
{
	double step = tick_step(c.end());

	for (int k = 0; k * step * second <= (double)c.end() + 1; k++) {
		double s = k * step;
		double x = c.x((Nanos)(s * second));
		c.out += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" "
				"y2=\"%.1f\" class=\"grid\"/>\n",
		    x, top - 6, x, bottom);
		c.out += format("<text x=\"%.1f\" y=\"%.1f\" "
				"text-anchor=\"middle\">%gs</text>\n",
		    x, top - 10, s);
	}
}

void
span(Canvas &c, const Stretch &s, double y, pid_t pid)
{
	const Shade &sh = shade_of(s.letter);
	double x0 = c.x(s.from), x1 = std::max(c.x(s.to), x0 + 1);

	c.out += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" "
			"height=\"%.0f\" fill=\"%s\"%s><title>",
		     x0, y, x1 - x0, bar, sh.fill,
		     s.letter == 'Z' ? " class=\"zombie\"" : "") +
		 xml(sh.name) + " from " + secs(s.from) + " to " + secs(s.to) +
		 format(" (process %d)</title></rect>\n", (int)pid);
	if (s.letter == 'Z')
		c.out += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" "
				"height=\"%.0f\" fill=\"url(#hatch)\"/>\n",
		    x0, y, x1 - x0, bar);
	/* Its letter at its start, and again along a long span. */
	for (int k = 0; x0 + 3 + 120 * k + 10 <= x1; k++)
		c.out += format("<text x=\"%.1f\" y=\"%.1f\" class=\"letter\">"
				"%c</text>\n",
		    x0 + 3 + 120 * k, y + bar - 5, s.letter);
}

/* An event of the row's process, as a mark over its bar. */
void
mark(Canvas &c, const Log &log, const std::optional<Index> &i, double y,
    const char *what)
{
	if (!i)
		return;
	const Event &e = log.events()[*i];
	double x = c.x(e.t), mid = y + bar / 2;
	std::string title =
	    "<title>" + std::string(what) + " at " + secs(e.t) + "</title>";

	if (e.what == What::Ended)
		c.out += format("<path d=\"M%.1f %.1fl-5 -7h10z\" "
				"class=\"ended\">",
			     x, y) +
			 title + "</path>\n";
	else if (e.what == What::Orphaned)
		c.out += format("<circle cx=\"%.1f\" cy=\"%.1f\" r=\"5\" "
				"class=\"handed\">",
			     x, mid) +
			 title + "</circle>\n";
	else
		c.out += format("<path d=\"M%.1f %.1fl6 6l-6 6l-6 -6z\" "
				"class=\"%s\">",
			     x, y + bar / 2 - 6,
			     e.how == How::Wait ? "collected" : "released") +
			 title + "</path>\n";
}

std::string
name_of(const Log &log, ProcId id)
{
	const Process &p = log.proc(id);
	std::string name = label(log, id);

	/* The program as started may be a long path: its name will do. */
	std::string_view comm = p.comm;
	comm.remove_prefix(std::min(comm.size(), comm.rfind('/') + 1));
	if (!comm.empty() && p.role != Role::Outsider)
		name += " (" + std::string(comm) + ")";
	/* Within its column, in whole UTF-8 characters. */
	if (name.size() > name_room) {
		size_t cut = name_room - 1;
		while (cut > 0 && ((unsigned char)name[cut] & 0xc0) == 0x80)
			cut--;
		name.replace(cut, std::string::npos, "\u2026");
	}
	return xml(name);
}

void
row(Canvas &c, const Log &log, ProcId id, double y)
{
	const Process &p = log.proc(id);

	c.out += "<text x=\"8\" y=\"" + format("%.1f", y + bar - 5) +
		 "\" class=\"name\">" + name_of(log, id) + "</text>\n";
	for (const Stretch &s : timeline_row(log, id, c.end())) {
		span(c, s, y, p.pid);
		c.unseen = c.unseen || s.letter == '?';
	}
	mark(c, log, p.ended, y, "ended");
	mark(c, log, p.orphaned, y, "handed over");
	mark(c, log, p.collected, y,
	    p.collected && log.events()[*p.collected].how == How::Released
		? "released"
		: "collected");
}

void
legend(Canvas &c, double y)
{
	double x = 8;

	for (const Shade &s : shades) {
		if (s.letter == 't' || s.letter == '?')
			continue;
		c.out += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"14\" "
				"height=\"14\" fill=\"%s\"/>",
		    x, y, s.fill);
		if (s.letter == 'Z')
			c.out += format("<rect x=\"%.1f\" y=\"%.1f\" "
					"width=\"14\" height=\"14\" "
					"fill=\"url(#hatch)\"/>",
			    x, y);
		c.out += format("<text x=\"%.1f\" y=\"%.1f\">%c %s</text>\n",
		    x + 18, y + 12, s.letter, s.name);
		x += 46 + 7.5 * (double)std::string_view(s.name).size();
	}
	y += 24;
	c.out += format("<path d=\"M14 %.1fl-5 -7h10z\" class=\"ended\"/>"
			"<text x=\"26\" y=\"%.1f\">ended</text>\n"
			"<circle cx=\"100\" cy=\"%.1f\" r=\"5\" "
			"class=\"handed\"/><text x=\"112\" y=\"%.1f\">handed "
			"over</text>\n"
			"<path d=\"M220 %.1fl6 6l-6 6l-6 -6z\" "
			"class=\"collected\"/><text x=\"232\" y=\"%.1f\">"
			"collected</text>\n"
			"<path d=\"M330 %.1fl6 6l-6 6l-6 -6z\" "
			"class=\"released\"/><text x=\"342\" y=\"%.1f\">"
			"released by the kernel</text>\n",
	    y + 11, y + 11, y + 6, y + 11, y, y + 11, y, y + 11);
	/* Rare, so told only where a row has it, after the marks. */
	if (c.unseen)
		c.out += format("<rect x=\"530\" y=\"%.1f\" width=\"14\" "
				"height=\"14\" fill=\"%s\"/><text x=\"548\" "
				"y=\"%.1f\">? not seen alive</text>\n",
		    y, shade_of('?').fill, y + 12);
}

const char *style_sheet =
    "<style>text{font-family:sans-serif;font-size:13px;fill:#000}"
    ".name{font-family:monospace}.letter{font-family:monospace;"
    "font-weight:bold}.grid{stroke:#ddd;stroke-width:1}"
    ".ended{fill:#000}.handed{fill:#fff;stroke:#000;stroke-width:1.5}"
    ".collected{fill:#000}.released{fill:#fff;stroke:#000;"
    "stroke-width:1.5}</style>\n"
    "<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" "
    "patternUnits=\"userSpaceOnUse\" patternTransform=\"rotate(45)\">"
    "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#000\" "
    "stroke-width=\"1\" stroke-opacity=\"0.35\"/></pattern></defs>\n";

} // namespace

std::string
timeline_svg(const Log &log, Nanos end)
{
	size_t more = 0;
	std::vector<ProcId> shown = timeline_rows(log, &more);
	double bottom = top + row_height * (double)shown.size();
	double height = bottom + (more > 0 ? 24 : 0) + 70;
	Canvas c(end);

	c.out = format("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
		       "<svg xmlns=\"http://www.w3.org/2000/svg\" "
		       "width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f "
		       "%.0f\">\n",
	    width, height, width, height);
	c.out += style_sheet;
	c.out += format("<rect width=\"%.0f\" height=\"%.0f\" fill=\"#fff\"/>\n"
			"<text x=\"8\" y=\"20\" font-weight=\"bold\">"
			"zombie-watch: each process's states, from 0 to "
			"%s</text>\n",
	    width, height, secs(end).c_str());
	axis(c, bottom);
	for (size_t k = 0; k < shown.size(); k++)
		row(c, log, shown[k], top + row_height * (double)k);
	if (more > 0)
		c.out +=
		    format("<text x=\"8\" y=\"%.1f\">... and ", bottom + 16) +
		    plural((int)more, "more process", "more processes") +
		    "</text>\n";
	legend(c, height - 56);
	return c.out + "</svg>\n";
}
