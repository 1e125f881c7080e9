// SPDX-License-Identifier: BSD-2-Clause
/*
 * A name chosen to drive a terminal, as the watcher must show it, and a
 * check of text for any byte a terminal would obey.  The check is written
 * apart from the watcher's own code, so that it cannot share a mistake.
 */
#ifndef ZOMBIE_TESTS_HOSTILE_H
#define ZOMBIE_TESTS_HOSTILE_H

#include <cstdio>
#include <string>

/*
 * Retitles the terminal (ESC ] ... BEL), goes back over the line (CR),
 * starts a new one (LF), moves on (TAB), DEL, clears the screen by U+009B
 * (CSI) in UTF-8, a byte no UTF-8 holds, and a backslash that poses as an
 * escape.
 */
inline constexpr char hostile_name[] = "\x1b]0;owned\a\r\n\t\x7f\xc2\x9b"
				       "2J\xff\\x1b";
inline constexpr char hostile_shown[] =
    "\\x1b]0;owned\\x07\\r\\n\\t\\x7f\\u009b2J\\xff\\\\x1b";

/*
 * The first byte in text that a terminal would obey or that no UTF-8
 * holds, and what came before it; "" if there is none.  A newline is the
 * layout's own.
 */
inline std::string
obeyed(const std::string &text)
{
	for (size_t i = 0; i < text.size(); i++) {
		auto c = (unsigned char)text[i];
		unsigned next =
		    i + 1 < text.size() ? (unsigned char)text[i + 1] : 0U;
		bool c0 = c < 0x20 && c != '\n';
		bool c1 = c == 0xC2 && next >= 0x80 && next < 0xA0;
		bool never = c == 0xC0 || c == 0xC1 || c >= 0xF5;
		if (c0 || c == 0x7F || c1 || never) {
			char at[48];
			size_t from = i < 40 ? 0 : i - 40;
			(void)snprintf(at, sizeof(at), "byte %#x at %zu after ",
			    (unsigned)c, i);
			return at + text.substr(from, i - from);
		}
	}
	return "";
}

#endif
