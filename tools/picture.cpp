// SPDX-License-Identifier: BSD-2-Clause
/*
 * The timeline printed at the end: one row per watched process and one
 * cell per column of time, each cell the state that held for most of it,
 * so that the zombie's window can be read at a glance.
 */

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "watch.h"

enum { COLUMNS = 72 };

/* Beyond a minute a column, for runs of hours or days, the same idea. */
static const double widths[] = {0.1, 0.2, 0.5, 1, 2, 5, 10, 30, 60, 300, 600,
    1800, 3600, 7200, 21600, 43200, 86400};

/* The narrowest column that fits a run this long in the timeline. */
double
picture_column(double run)
{
	size_t n = sizeof(widths) / sizeof(widths[0]);

	for (size_t i = 0; i < n; i++)
		if (run / widths[i] <= COLUMNS + 0.5)
			return widths[i];
	return widths[n - 1];
}

/* Keeps a state only where it differs from the one before it. */
static void
note(struct Proc *p, double t, char st)
{
	if (st == 0 || (p->nhist > 0 && p->hist[p->nhist - 1].st == st))
		return;
	if (p->nhist == p->histcap) {
		size_t cap = p->histcap == 0 ? 8 : p->histcap * 2;
		void *h = realloc(p->hist, cap * sizeof(*p->hist));
		if (h == NULL)
			return;
		p->hist = (struct Sample *)h;
		p->histcap = cap;
	}
	p->hist[p->nhist].t = t;
	p->hist[p->nhist++].st = st;
}

/*
 * Reads the process's state, and settles what held since the last look:
 * running if it ran (or waited to) for most of that time, as the kernel's
 * own accounting says, else what it was doing instead.  A glimpse of it
 * running, as at its birth, does not make the whole stretch running.
 */
void
picture_look(struct Proc *p, double t)
{
	long long ran = proc_ran(p);
	/* What has not run since cannot have changed its state. */
	char st =
	    ran >= 0 && ran == p->ran ? p->seen : proc_state(p, NULL, NULL);
	bool asleep = st != 0 && st != 'R' && st != 'Z' && st != 'X';

	if (p->looked >= 0) {
		char was = p->seen;
		if (ran >= 0 && p->ran >= 0)
			was = (double)(ran - p->ran) / 1e9 * 2 > t - p->looked
				  ? 'R'
			      : was != 'R' ? was
			      : asleep     ? st
					   : 'S';
		note(p, p->looked, was);
	}
	p->looked = t;
	p->seen = st;
	p->ran = ran;
}

/* One look per column of the timeline, so the cost follows its detail. */
void
picture_sample(struct Watch *w)
{
	double t = now(w);

	for (size_t i = 0; i < w->nprocs; i++)
		if (w->procs[i].ended < 0 && w->procs[i].collected < 0)
			picture_look(&w->procs[i], t);
}

static double
overlap(double a0, double a1, double b0, double b1)
{
	double lo = a0 > b0 ? a0 : b0, hi = a1 < b1 ? a1 : b1;

	return hi > lo ? hi - lo : 0;
}

/* The letter that held for most of [c0, c1), or '.' if it did not exist. */
static char
cell(const struct Proc *p, double c0, double c1, double end)
{
	double alive_until = p->ended >= 0       ? p->ended
			     : p->collected >= 0 ? p->collected
						 : end;
	double gone = p->collected >= 0 ? p->collected : end;
	double best = overlap(c0, c1, p->ended >= 0 ? p->ended : gone, gone);
	char letter = best > 0 ? 'Z' : '.';
	double absent = (c1 - c0) - best;

	for (size_t k = 0; k < p->nhist; k++) {
		double from = p->hist[k].t;
		double to = k + 1 < p->nhist ? p->hist[k + 1].t : alive_until;
		double d =
		    overlap(c0, c1, from, to < alive_until ? to : alive_until);
		absent -= d;
		if (d > best)
			best = d, letter = p->hist[k].st;
	}
	return absent > best ? '.' : letter;
}

static void
ruler(int ncols, double width, int indent)
{
	char marks[COLUMNS + 2];

	say("%*s", indent, "");
	for (int c = 0; c <= ncols; c += 10) {
		char l[16];
		int n = snprintf(l, sizeof(l), "%gs", c * width);
		say("%-*s", c + 10 <= ncols ? 10 : n, l);
	}
	memset(marks, ' ', sizeof(marks));
	for (int c = 0; c <= ncols; c += 10)
		marks[c] = '|';
	marks[ncols / 10 * 10 + 1] = '\0';
	say("\n%*s%s\n", indent, "", marks);
}

static void
row(const struct Watch *w, const struct Proc *p, int ncols, double width,
    double end, int indent)
{
	char name[48], by[48], how[64];

	label(name, sizeof(name), w, p->pid);
	say("%-*s", indent, name);
	char prev = 0;
	for (int c = 0; c < ncols; c++) {
		char ch = cell(p, c * width, (c + 1) * width, end);
		/* On a terminal the zombie stands out in reverse red. */
		if (w->colour && ch == 'Z' && prev != 'Z')
			say("\033[1;7;31m");
		if (w->colour && ch != 'Z' && prev == 'Z')
			say("\033[0m");
		say("%c", ch);
		prev = ch;
	}
	if (w->colour && prev == 'Z')
		say("\033[0m");
	describe_status(how, sizeof(how), p->status);
	if (p->collector == -1)
		say(" %s; discarded by the kernel\n", how);
	else if (p->collected < 0) {
		label(by, sizeof(by), w, p->ppid);
		say(" %s; not collected by %s\n", how, by);
	} else {
		label(by, sizeof(by), w, p->collector);
		say(" %s; collected by %s\n", how, by);
	}
}

void
report_timeline(const struct Watch *w)
{
	double end = now(w), width = picture_column(end);
	/* Rounded: a run of 60.003 s has 60 columns of a second. */
	int ncols = (int)(end / width);
	if (end / width - ncols >= 0.5)
		ncols++;
	/* A run longer than 72 days is shown to the ruler's end. */
	if (ncols > COLUMNS)
		ncols = COLUMNS;
	int indent = 0;

	if (ncols < 1)
		ncols = 1;
	for (size_t i = 0; i < w->nprocs; i++) {
		char name[48];
		label(name, sizeof(name), w, w->procs[i].pid);
		if ((int)strlen(name) + 2 > indent)
			indent = (int)strlen(name) + 2;
	}
	say("timeline: one column is %gs; S sleeping, R running, "
	    "Z zombie, . not there\n",
	    width);
	ruler(ncols, width, indent);
	for (size_t i = 0; i < w->nprocs; i++)
		row(w, &w->procs[i], ncols, width, end, indent);
}
