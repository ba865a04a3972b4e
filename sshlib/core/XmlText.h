// Helpers that keep text written into an XML rendering well-formed: character sanitising,
// element-name checks and a small well-formedness check of XML content fragments.
#pragma once

class StringBuffer;

namespace XmlText {

// Appends the text, replacing every byte sequence that is not valid UTF-8 and every character
// that XML 1.0 does not allow (control characters other than TAB, LF and CR, U+FFFE, U+FFFF) by
// U+FFFD. Valid text is appended unchanged.
void appendSanitized(const char *text, StringBuffer &out);

// True when the text is a valid XML name without a colon (the renderings use no namespaces).
bool isValidName(const char *name);

// Appends the name when it is valid; otherwise a name made valid by turning each character that
// may not stand at its place into "_" (an empty name becomes "_").
void appendName(const char *name, StringBuffer &out);

// True when the text, written as the content of an element, is well-formed: text without bare
// "<" or "&" or "]]>", known entity and character references, CDATA sections, comments,
// processing instructions and balanced elements with quoted, unique attributes.
bool isWellFormedContent(const char *text);

// Appends the text as one or more CDATA sections ("]]>" inside it is split across two sections).
void appendCData(const char *text, StringBuffer &out);

} // namespace XmlText
