// SPDX-License-Identifier: BSD-2-Clause
/*
 * A JSON string from any bytes.  What the watcher writes as strings comes
 * from the system (a command name holds whatever its program was named),
 * so nothing may be assumed of it: not UTF-8, not printable.  A valid UTF-8
 * sequence is kept as it is; each byte of an invalid one becomes the
 * character of the same number (\u0080 to \u00ff), so the output is always
 * valid JSON and never loses a byte's place; control characters, quotes
 * and backslashes are escaped.
 */
#ifndef ZOMBIE_JSON_H
#define ZOMBIE_JSON_H

#include <cstddef>
#include <string>
#include <string_view>

namespace json_detail {

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

inline void
escape_byte(std::string &out, unsigned char c)
{
	static const char hex[] = "0123456789abcdef";

	out += "\\u00";
	out += hex[c >> 4];
	out += hex[c & 0xF];
}

} // namespace json_detail

/* s as a quoted JSON string. */
inline std::string
json_string(std::string_view s)
{
	std::string out = "\"";

	for (size_t i = 0; i < s.size();) {
		auto c = (unsigned char)s[i];
		size_t n = c < 0x80 ? 1 : json_detail::utf8_length(s, i);
		if (n > 1)
			out.append(s.substr(i, n));
		else if (c == '"' || c == '\\')
			out.append({'\\', (char)c});
		else if (c == '\n')
			out += "\\n";
		else if (c == '\t')
			out += "\\t";
		else if (c < 0x20 || c >= 0x7F)
			json_detail::escape_byte(out, c);
		else
			out += (char)c;
		i += n == 0 ? 1 : n;
	}
	return out + "\"";
}

#endif
