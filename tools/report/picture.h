// SPDX-License-Identifier: BSD-2-Clause
/*
 * The timeline as a picture, for slides and handouts: an SVG document that
 * needs nothing from outside (no font, script or image), one row a
 * process, each state a span with its letter on it, so that it reads in
 * black and white too, and the moments of exit, hand-over and collection
 * marked.  Rendered from the log alone, as the text timeline is.
 */
#ifndef ZOMBIE_PICTURE_H
#define ZOMBIE_PICTURE_H

#include <string>

#include "core/log.h"

/* The run from 0 to end as one SVG document. */
std::string timeline_svg(const Log &log, Nanos end);

#endif
