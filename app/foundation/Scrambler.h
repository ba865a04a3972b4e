// The reversible password scrambler: characters packed three to a group into symbols of a fixed,
// permuted Base64 alphabet. It keeps passwords out of plain sight in the settings and the bookmark
// database; it is not encryption.
#pragma once

#include <string>
#include <string_view>

// The scrambling alphabet (64 symbols, no "=").
extern const char szBASE_64Encrypt[];

// The scrambled form of a password. A password whose characters all have codes 1 to 255 gives the
// classic form (stored values written elsewhere read back with it); any other password (code 0,
// characters above 255) gives "=" followed by the scrambled UTF-8 bytes, a form the classic
// scrambler never writes.
std::string myEncryptString1(std::string_view password);
// The plain form of a scrambled text.
std::string myDecryptString1(std::string_view scrambled);
// The 6-bit value of a scrambled symbol: 0 for "=", its position in the alphabet, else -1.
int _6BitCharEncrypt(int c);
