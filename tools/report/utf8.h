// SPDX-License-Identifier: BSD-2-Clause
/*
 * What a string from another process holds, byte by byte: valid UTF-8 or
 * not, and the C1 controls that a terminal may obey as it obeys ESC.  The
 * text and the JSON both take names apart with these, so that the two
 * never disagree about where a character ends.
 */
#ifndef ZOMBIE_UTF8_H
#define ZOMBIE_UTF8_H

#include <cstddef>
#include <string_view>

/* How long the valid UTF-8 sequence at s[i] is, or 0 if there is none. */
inline size_t
utf8_length(std::string_view s, size_t i)
{
	auto b = [&](size_t k) {
		return i + k < s.size() ? (unsigned char)s[i + k] : 0U;
	};
	auto follows = [&](size_t k) { return (b(k) & 0xC0U) == 0x80U; };
	unsigned c = b(0);

	if (c >= 0xC2 && c <= 0xDF)
		return follows(1) ? 2 : 0;
	/* Neither overlong forms nor the surrogates that UTF-16 reserves. */
	if (c >= 0xE0 && c <= 0xEF) {
		bool ok =
		    (c != 0xE0 || b(1) >= 0xA0) && (c != 0xED || b(1) < 0xA0);
		return ok && follows(1) && follows(2) ? 3 : 0;
	}
	/* Nothing past U+10FFFF. */
	if (c >= 0xF0 && c <= 0xF4) {
		bool ok =
		    (c != 0xF0 || b(1) >= 0x90) && (c != 0xF4 || b(1) < 0x90);
		return ok && follows(1) && follows(2) && follows(3) ? 4 : 0;
	}
	return 0;
}

/*
 * Whether the valid sequence of n bytes at s[i] is a C1 control, U+0080
 * to U+009F (U+009B acts as ESC [ on many terminals).  Encoded, each is
 * C2 and a second byte whose value is the character's number.
 */
inline bool
utf8_c1(std::string_view s, size_t i, size_t n)
{
	return n == 2 && (unsigned char)s[i] == 0xC2 &&
	       (unsigned char)s[i + 1] < 0xA0;
}

#endif
