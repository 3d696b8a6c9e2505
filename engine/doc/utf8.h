// UTF-8 validation of the texts and map keys the value decoder reads.
#ifndef PALLIX_DOC_UTF8_H_
#define PALLIX_DOC_UTF8_H_

#include <string>
#include <string_view>

namespace pallix {

// Whether bytes are valid UTF-8, as the decoder requires of every text and
// map key: the check on the decoder's path, which builds nothing.
bool IsValidUtf8(std::string_view bytes);
// Why bytes are not valid UTF-8, for the error a failed check reports:
// "invalid utf-8 sequence of 1 bytes from index 3" or "incomplete utf-8
// byte sequence from index 3"; the empty string when they are valid.
std::string DescribeUtf8Fault(std::string_view bytes);

}  // namespace pallix

#endif  // PALLIX_DOC_UTF8_H_
