// The forgiving single-pass XML parser: it never rejects a document, logs a few named problems
// and builds whatever tree the text yields. It works on UTF-8 text; files are normalised to UTF-8
// first.
#include <cstring>

#include "sshlib/core/CharsetNaming.h"
#include "sshlib/core/DataBuffer.h"
#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/ExtPtrArray.h"
#include "sshlib/core/FileSys.h"
#include "sshlib/core/LogBase.h"
#include "sshlib/core/LogNull.h"
#include "sshlib/core/ParseEngine.h"
#include "sshlib/core/ProgressMonitor.h"
#include "sshlib/core/RazudodHandle.h"
#include "sshlib/core/StringBuffer.h"
#include "sshlib/core/StringSearch.h"
#include "sshlib/core/TreeNode.h"
#include "sshlib/core/XString.h"

namespace {

// The five predefined entities, decoded in one pass from left to right. This gives what
// replacing them one after the other would, with "&amp;" last, so that an escaped entity decodes
// to its escaped text ("&amp;lt;" gives "&lt;"): a replacement never forms a new entity. As with
// replacing, the search stops at the first NUL and whatever follows it is kept.
void decodeEntities(StringBuffer &sb) {
  const char *s = sb.getString();
  const char *const limit = s + strnlen(s, static_cast<size_t>(sb.getSize()));
  auto nextAmp = [limit](const char *from) {
    return static_cast<const char *>(std::memchr(from, '&', static_cast<size_t>(limit - from)));
  };
  const char *amp = nextAmp(s);
  if (amp == nullptr) return;
  static const struct {
    const char *name;
    int len;
    char c;
  } kEntities[] = {{"&lt;", 4, '<'},
                   {"&gt;", 4, '>'},
                   {"&apos;", 6, '\''},
                   {"&quot;", 6, '"'},
                   {"&amp;", 5, '&'}};
  const char *end = s + sb.getSize();
  StringBuffer out(sb.getSize() + 1);
  const char *from = s;
  for (const char *p = amp; p != nullptr; p = nextAmp(p)) {
    char c = 0;
    int len = 0;
    for (const auto &e : kEntities) {
      if (std::strncmp(p, e.name, static_cast<size_t>(e.len)) == 0) {
        c = e.c;
        len = e.len;
        break;
      }
    }
    if (len == 0) {
      ++p;
      continue;
    }
    out.appendN(from, static_cast<int>(p - from));
    out.appendChar(c);
    p += len;
    from = p;
  }
  if (from == s) return;
  out.appendN(from, static_cast<int>(end - from));
  sb.clear();
  sb.appendN(out.getString(), out.getSize());
}

void trimTrailingWhite(StringBuffer &sb) {
  int n = sb.getSize();
  const char *s = sb.getString();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t' || s[n - 1] == '\r' || s[n - 1] == '\n'))
    --n;
  sb.shorten(sb.getSize() - n);
}

TreeNode *topOf(TreeNode *n) {
  while (n && n->getParent())
    n = n->getParent();
  return n;
}

// What a parse collects outside the elements and attaches to the tree of each finished root.
struct ParseState {
  TreeNode *current = nullptr;
  TreeNode *finished = nullptr;
  TreeNode *decl = nullptr;
  ExtPtrArray styles;
  StringBuffer docType{2000};
  StringBuffer processing{2000};

  ~ParseState() {
    delete decl;
    styles.removeAllObjects();
  }

  void attachProlog(TreeNode *root) {
    TreeInfo *info = root->getTreeInfo();
    if (decl) {
      delete info->m_decl;
      info->m_decl = decl;
      decl = nullptr;
    }
    TreeNode::transferStyleSheets(styles, *info->m_styleSheets);
    root->setDocType(docType.getString());
    root->setProcessing(processing.getString());
  }

  // Closes an element: its parent becomes current; a top-level element becomes the finished root.
  void close(TreeNode *node) {
    if (node->getParent()) {
      current = node->getParent();
      return;
    }
    attachProlog(node);
    if (finished && finished != node) delete finished;
    finished = node;
    current = nullptr;
  }
};

} // namespace

void TreeNode::parsePrologLineAttr(ParseEngine &pe, TreeNode *node, LogBase *) {
  StringBuffer name, value;
  pe.skipWhiteSpace();
  for (;;) {
    if (pe.atEnd()) return;
    if (pe.current() == '>') {
      pe.advance();
      return;
    }
    name.clear();
    value.clear();
    pe.captureToNext(" \t\r\n=?>", name);
    name.removeCharOccurances('"');
    pe.skipWhiteSpace();
    if (pe.current() == '=') {
      pe.advance();
      pe.skipWhiteSpace();
      bool quoted = false;
      if (pe.current() == '"') {
        pe.advance();
        if (pe.current() == '\'') pe.advance();
        quoted = true;
      } else if (pe.current() == '\'') {
        pe.advance();
        quoted = true;
      }
      if (quoted)
        pe.captureToNext("\"'\r\n", value);
      else
        pe.captureToNext(" \t\"'\r\n", value);
      value.removeCharOccurances('"');
      if (value.containsChar('&')) {
        value.replaceAllOccurances("&lt;", "<");
        value.replaceAllOccurances("&gt;", ">");
        value.replaceAllOccurances("&apos;", "'");
        value.replaceAllOccurances("&quot;", "\"");
        value.replaceAllOccurances("&amp;", "&");
      }
      if (pe.current() == '"') pe.advance();
      if (pe.current() == '\'') pe.advance();
    }
    if (node) node->addAttribute(name.getString(), value.getString());
    pe.skipWhiteSpace();
    if (pe.current() == '?') {
      pe.advance();
      pe.skipWhiteSpace();
    }
    // Nothing consumed at all (a stray byte of the stop set): step over it.
    if (name.getSize() == 0 && value.getSize() == 0 && !pe.atEnd() && pe.current() != '>' &&
        pe.current() != '?' && pe.current() != '=')
      pe.advance();
  }
}

// One parse: the cursor, what the parse collects outside the elements, and buffers reused from
// one piece of markup to the next.
class TreeNode::Parser {
public:
  Parser(ParseEngine &pe, LogBase *log, ProgressMonitor *pm, bool trim)
      : pe(pe), log(log), pm(pm), trim(trim) {}

  // The finished root (the caller owns it), or null when the text held no element.
  TreeNode *run() {
    while (!pe.atEnd()) {
      if (!reachMarkup() || !takeMarkup()) break;
    }
    if (st.finished == nullptr) {
      if (st.current) {
        TreeNode *top = topOf(st.current);
        st.attachProlog(top);
        st.finished = top;
      }
    } else if (st.current) {
      delete topOf(st.current);
    }
    st.current = nullptr;
    if (pm) pm->consumeRemaining(0);
    return st.finished;
  }

private:
  // Moves past the next "<": outside the elements over whatever lies before it, inside one
  // taking its text and CDATA sections into it. False when the parse ends here.
  bool reachMarkup() {
    if (st.current == nullptr) {
      pe.skipWhiteSpace();
      if (pe.atEnd()) return false;
      pe.skipUntilChar('<');
      if (pe.atEnd()) return false;
      pe.advance();
      return true;
    }
    leading.clear();
    if (trim)
      pe.skipWhiteSpace();
    else
      pe.skipWhiteSpace(leading);
    bool cdata = pe.startsWith("<![CDATA[");
    if (!cdata) {
      takeText();
      if (pe.atEnd()) return false;
      pe.advance(); // past "<"
      if (pe.startsWith("![CDATA[")) {
        cdata = true;
        // Back onto the "<" so the section rule starts at its opening.
        pe.back();
      }
    }
    return !cdata || takeCData();
  }

  // The text up to the next "<" joins the current element's content.
  void takeText() {
    textRun.clear();
    pe.captureToNextChar('<', textRun);
    if (trim) trimTrailingWhite(textRun);
    if (textRun.getSize() == 0) return;
    // Entities are decoded in the run alone; text already in the content is final.
    decodeEntities(textRun);
    StringBuffer *content = st.current->m_content;
    if (content == nullptr) {
      // One block of the size of the text.
      content = new StringBuffer(leading.getSize() + textRun.getSize() + 1);
      st.current->m_content = content;
      content->append(leading);
      content->append(textRun);
    } else {
      content->append(leading);
      if (content->getSize() > 0) content->appendChar(' ');
      content->append(textRun);
    }
  }

  // CDATA sections in a row, from the "<" of the first; their text joins the content as it is.
  // False when the text ends after them.
  bool takeCData() {
    for (;;) {
      pe.skip(9); // "<![CDATA["
      StringBuffer *content = st.current->getOrCreateContentSb();
      const char *start = pe.textAtCursor();
      const char *endMark = std::strstr(start, "]]>");
      const int len =
          endMark ? static_cast<int>(endMark - start) : static_cast<int>(std::strlen(start));
      content->appendN(start, len);
      pe.skip(len);
      pe.skip(3);
      st.current->m_cdata = 1;
      pe.skipUntilChar('<');
      if (pe.atEnd()) return false;
      if (!pe.startsWith("<![CDATA[")) {
        pe.advance();
        return true;
      }
    }
  }

  // The markup after "<". False when the parse ends here.
  bool takeMarkup() {
    const char c = pe.current();
    pe.skipWhiteSpace();
    if (pe.atEnd()) return false;
    switch (c) {
    case '!':
      return takeDeclaration();
    case '?':
      takeInstruction();
      return true;
    case '/':
      takeEndTag();
      return true;
    default:
      return takeStartTag();
    }
  }

  // A comment, the DOCTYPE (kept as text) or another declaration (skipped).
  bool takeDeclaration() {
    if (pe.startsWithNoCase("!--")) {
      pe.skip(3);
      if (!pe.seekAndSkipExact("-->")) {
        log->LogError("Unclosed comment");
        return false;
      }
    } else if (pe.startsWithNoCase("!DOCTYPE")) {
      st.docType.append("<");
      if (!pe.seekAndCopyToClosing('<', '>', 1, st.docType)) log->LogError("Failed to parse DTD");
      st.docType.append("\n");
    } else {
      pe.skipUntilChar('>');
      pe.advance();
    }
    return true;
  }

  // The XML declaration and style sheets become nodes of the prolog; other processing
  // instructions are kept as text.
  void takeInstruction() {
    pe.advance();
    const bool isDecl = pe.startsWithNoCase("xml ");
    const bool isStyle = !isDecl && pe.startsWithNoCase("xml-stylesheet");
    if (!isDecl && !isStyle) {
      st.processing.append("<?");
      pe.seekAndCopy("?>", st.processing);
      st.processing.append("\n");
      return;
    }
    name.clear();
    pe.captureToNext(" \t\r\n/>", name);
    pe.skipWhiteSpace();
    if (pe.current() == '/') pe.advance();
    TreeNode *node = createRoot(name.getString());
    if (isDecl) {
      delete st.decl;
      st.decl = node;
    } else {
      st.styles.append(node);
    }
    parsePrologLineAttr(pe, node, log);
  }

  // An end tag closes the current element, whatever its name.
  void takeEndTag() {
    if (pm) {
      bool abort = false;
      pm->setAmountConsumed2_32(static_cast<unsigned int>(pe.getCursor()), abort);
    }
    if (!pe.skipUntilChar2('>', '<')) {
      log->LogError("Error in closing tag");
      if (st.current) log->LogData("error_tag", st.current->getTag());
    } else {
      pe.advance();
    }
    if (st.current) st.close(st.current);
  }

  // A start tag with its attributes. False when the parse ends here.
  bool takeStartTag() {
    name.clear();
    pe.captureToNext(" \t\r\n/>", name);
    if (pe.atEnd()) return false;
    if (name.containsChar('<')) name.removeCharOccurances('<');
    pe.skipWhiteSpace();
    bool empty = false;
    if (pe.current() == '/') {
      empty = true;
      pe.advance();
    }
    TreeNode *node =
        st.current ? createNode(st.current, name.getString()) : createRoot(name.getString());
    if (node == nullptr) return false;
    pe.skipWhiteSpace();
    while (!pe.atEnd() && pe.current() != '>')
      takeAttribute(node, empty);
    if (pe.current() == '>') pe.advance();
    if (empty)
      st.close(node); // an element inside another makes its parent current again
    else
      st.current = node;
    return true;
  }

  // One attribute (quoted, or not), and a "/" after it that makes the element empty.
  void takeAttribute(TreeNode *node, bool &empty) {
    attrName.clear();
    attrValue.clear();
    pe.captureToNext(" \t\r\n=/>", attrName);
    if (std::strpbrk(attrName.getString(), "\"'<")) {
      attrName.removeCharOccurances('"');
      attrName.removeCharOccurances('\'');
      attrName.removeCharOccurances('<');
    }
    pe.skipWhiteSpace();
    if (pe.current() == '=') {
      pe.advance();
      pe.skipWhiteSpace();
      if (pe.current() == '"') {
        pe.advance();
        pe.captureToNextChar('"', attrValue);
      } else if (pe.current() == '\'') {
        pe.advance();
        pe.captureToNextChar('\'', attrValue);
      } else {
        pe.captureToNext("'\"", attrValue);
      }
      decodeEntities(attrValue);
      if (pe.current() == '"' || pe.current() == '\'') pe.advance();
    }
    if (attrName.getSize() > 0) node->addAttribute(attrName.getString(), attrValue.getString());
    pe.skipWhiteSpace();
    if (pe.current() == '/') {
      empty = true;
      pe.advance();
      pe.skipWhiteSpace();
    }
  }

  ParseEngine &pe;
  LogBase *const log;
  ProgressMonitor *const pm;
  const bool trim;
  ParseState st;
  StringBuffer leading, textRun, name, attrName, attrValue;
};

bool TreeNode::customParse(ParseEngine &pe, LogBase *log, ProgressMonitor *pm, TreeNode **outRoot,
                           bool trim) {
  if (outRoot == nullptr) return false;
  *outRoot = nullptr;
  LogNull nullLog;
  if (log == nullptr) log = &nullLog;
  if (pm && pe.textLength() == 0) pm = nullptr;
  if (pm) pm->progressReset_32(static_cast<unsigned int>(pe.textLength()));
  *outRoot = Parser(pe, log, pm, trim).run();
  return true;
}

bool TreeNode::customParseString(const StringBuffer &text, LogBase *log, ProgressMonitor *pm,
                                 TreeNode **outRoot, bool trim) {
  ParseEngine pe(text);
  return customParse(pe, log, pm, outRoot, trim);
}

bool TreeNode::customParseFile(const char *path, LogBase *log, ProgressMonitor *pm,
                               TreeNode **outRoot, bool trim) {
  DataBuffer data;
  if (!loadToUtf8(path, data, log)) return false;
  ParseEngine pe(data);
  const bool ok = customParse(pe, log, pm, outRoot, trim);
  if (ok && outRoot && *outRoot) {
    StringBuffer enc;
    bool found = false;
    (*outRoot)->getDocEncoding(enc, found);
    if (found && (enc.equalsIgnoreCase("utf-16") || enc.equalsIgnoreCase("ucs-2") ||
                  enc.equalsIgnoreCase("unicode")))
      (*outRoot)->setDocEncoding("utf-8");
  }
  return ok;
}

bool TreeNode::loadToUtf8(const char *path, DataBuffer &out, LogBase *log) {
  LogNull nullLog;
  if (log == nullptr) log = &nullLog;
  out.clear();
  if (path == nullptr) return false;
  XString xpath;
  xpath.setFromUtf8(path);
  int err = 0;
  RazudodHandle *h = FileSys::openForReadLinux(xpath, err, log);
  if (h == nullptr) return false;
  bool ok = true;
  const long long size = h->fileSize64(log);
  if (size < 0 || size > 0x7FFFFFF0LL) {
    log->LogError("Failed to get file size, or the file is too large to load.");
    ok = false;
  } else if (size > 0) {
    if (!out.ensureBuffer(static_cast<unsigned int>(size))) {
      log->LogError("Out of memory when loading the file.");
      ok = false;
    }
    unsigned char buf[65536];
    while (ok) {
      unsigned int got = 0;
      bool eof = false;
      if (!h->readBytesToBuf32(buf, sizeof buf, got, eof, log)) {
        ok = false;
        break;
      }
      if (got > 0 && !out.append(buf, got)) ok = false;
      if (eof || got == 0) break;
    }
  }
  delete h;
  if (!ok) return false;
  return convertXmlToUtf8(out, log);
}

bool TreeNode::convertXmlToUtf8(DataBuffer &data, LogBase *log) {
  LogNull nullLog;
  if (log == nullptr) log = &nullLog;
  const unsigned int n = data.getSize();
  if (n == 0) return false;
  const unsigned char *p = data.getData2();
  if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
    const int cp = p[0] == 0xFF ? 1200 : 1201;
    EncodingConvert ec;
    DataBuffer out;
    // The byte-order mark itself is not part of the document.
    ec.EncConvert(cp, 65001, p + 2, n - 2, out);
    data.clear();
    data.append(out);
    return true;
  }
  if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) {
    data.removeHead(3);
    return true;
  }

  // The declared encoding, from "<?xml" up to the next ">".
  StringBuffer text;
  text.appendN(reinterpret_cast<const char *>(p), static_cast<int>(n));
  const char *start = stristr(text.getString(), "<?xml");
  if (start == nullptr) return true;
  StringBuffer decl;
  const char *gt = std::strchr(start, '>');
  decl.appendN(start, gt ? static_cast<int>(gt - start) : static_cast<int>(std::strlen(start)));
  decl.removeCharOccurances(' ');
  decl.toLowerCase();
  const char *hit = std::strstr(decl.getString(), "encoding=\"");
  if (hit == nullptr) hit = std::strstr(decl.getString(), "encoding='");
  if (hit == nullptr) return true;
  const char *nameStart = hit + 10;
  const char *nameEnd = std::strchr(nameStart, '"');
  if (nameEnd == nullptr) nameEnd = std::strchr(nameStart, '\'');
  StringBuffer charset;
  charset.appendN(nameStart, nameEnd ? static_cast<int>(nameEnd - nameStart)
                                     : static_cast<int>(std::strlen(nameStart)));
  if (charset.getSize() == 0 || !CharsetNaming::CharsetValid(charset.getString()) ||
      charset.equalsIgnoreCase("utf-8"))
    return true;

  EncodingConvert ec;
  DataBuffer out;
  const bool complete = ec.ChConvert2(charset.getString(), 65001, p, n, out);
  if (!complete && out.getSize() == 0) {
    // Nothing could be converted (no tables for this charset): the document keeps its bytes
    // rather than becoming empty.
    log->LogInfo("Warning: cannot convert the XML document from its declared charset; its bytes "
                 "are kept unconverted.");
    log->LogData("charset", charset.getString());
    return true;
  }
  if (!complete) {
    log->LogInfo("Warning: some characters of the XML document could not be converted to utf-8.");
    log->LogData("charset", charset.getString());
  }
  data.clear();
  data.append(out);
  return true;
}
