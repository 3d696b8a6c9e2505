// Quoted text for representations (Collection and SchemaField __repr__).
//
// The text goes in double quotes; '"' and '\' get a backslash; tab, line
// feed, carriage return and NUL are written \t, \n, \r and \0; any other
// non-printable character (general categories Cc, Cf, Cs, Co, Cn, Zl, Zp
// and Zs other than the space) and every grapheme-extending mark (a
// combining accent, say) are written \u{<lower-case hex>}; everything else,
// the single quote and printable non-ASCII characters included, stands as
// it is.
//
// Thread-safety: a pure function.

#ifndef PALLIX_BINDING_REPR_H_
#define PALLIX_BINDING_REPR_H_

#include <string>
#include <string_view>

namespace pallix::py {

// `utf8` must be valid UTF-8.
std::string QuoteText(std::string_view utf8);

}  // namespace pallix::py

#endif  // PALLIX_BINDING_REPR_H_
