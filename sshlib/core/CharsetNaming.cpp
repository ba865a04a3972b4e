#include "sshlib/core/CharsetNaming.h"

#include <cstring>
#include <strings.h>

#include "sshlib/core/EncodingConvert.h"
#include "sshlib/core/Psdk.h"

namespace {

struct CharsetRow {
  int codePage;
  const char *nameGivenBack; // null: the code page has no name of its own
  const char *accepted[13];  // lower case, "-" for "_"; null-terminated
};

const CharsetRow kCharsets[] = {
    {37,
     "ibm037",
     {"ibm037", "cp037", "csibm037", "ebcdic", "ebcdic-cp-ca", "ebcdic-cp-nl", "ebcdic-cp-us",
      "ebcdic-cp-wt"}},
    {437, "ibm437", {"ibm437", "cp437", "cspc8codepage437"}},
    {500, "ibm500", {"ibm500", "cp500", "csibm500", "ebcdic-cp-be", "ebcdic-cp-ch"}},
    {708, "asmo-708", {"asmo-708"}},
    {709, nullptr, {"asmo-449", "asmo-449+"}},
    {720, "dos-720", {"dos-720"}},
    {737, "ibm737", {"ibm737"}},
    {775, "ibm775", {"ibm775"}},
    {850, "ibm850", {"ibm850", "cp850"}},
    {852, "ibm852", {"ibm852", "cp852"}},
    {855, "ibm855", {"ibm855", "cp855"}},
    {857, "ibm857", {"ibm857", "cp857"}},
    {858, "ibm00858", {"ibm00858", "cp00858", "cp858", "ccsid00858"}},
    {860, "ibm860", {"ibm860", "cp860"}},
    {861, "ibm861", {"ibm861", "cp861"}},
    {862, "dos-862", {"ibm862", "cp862", "dos-862"}},
    {863, "ibm863", {"ibm863", "cp863"}},
    {864, "ibm864", {"ibm864", "cp864"}},
    {865, "ibm865", {"ibm865", "cp865"}},
    {866, "cp866", {"ibm866", "cp866"}},
    {869, "ibm869", {"ibm869", "cp869"}},
    {870, "ibm870", {"ibm870", "cp870", "csibm870", "ebcdic-cp-roece", "ebcdic-cp-yu"}},
    {874, "windows-874", {"iso-8859-11", "windows-874", "dos-874", "tis-620"}},
    {875, "cp875", {"cp875"}},
    {932,
     "shift_jis",
     {"x-sjis", "csshiftjis", "cswindows31j", "ms-kanji", "shift-jis", "sjis", "x-ms-cp932"}},
    {936,
     "gb2312",
     {"iso-ir-58", "csgb2312", "csgb231280", "csiso58gb231280", "chinese", "cn-gb", "gb2312",
      "gb2312-80", "gbk", "gb-2312-80"}},
    {949,
     "ks_c_5601-1987",
     {"iso-ir-149", "csksc56011987", "ks-c-5601-1987", "korean", "ks-c-5601", "ks-c5601", "ksc5601",
      "ksc-5601", "ks-c-5601-1989"}},
    {950, "big5", {"x-x-big5", "big5", "big5-hkscs", "csbig5", "cn-big5"}},
    {1026, "ibm1026", {"ibm1026", "cp1026", "csibm1026"}},
    {1047, "ibm01047", {"ibm01047"}},
    {1140, "ibm01140", {"ibm01140", "cp01140", "ccsid01140", "ebcdic-us-37+euro"}},
    {1141, "ibm01141", {"ibm01141", "cp01141", "ccsid01141", "ebcdic-de-273+euro"}},
    {1142,
     "ibm01142",
     {"ibm01142", "cp01142", "ccsid01142", "ebcdic-dk-277+euro", "ebcdic-no-277+euro"}},
    {1143,
     "ibm01143",
     {"ibm01143", "cp01143", "ccsid01143", "ebcdic-fi-278+euro", "ebcdic-se-278+euro"}},
    {1144, "ibm01144", {"ibm01144", "cp01144", "ccsid01144", "ebcdic-it-280+euro"}},
    {1145, "ibm01145", {"ibm01145", "cp01145", "ccsid01145", "ebcdic-es-284+euro"}},
    {1146, "ibm01146", {"ibm01146", "cp01146", "ccsid01146", "ebcdic-gb-285+euro"}},
    {1147, "ibm01147", {"ibm01147", "cp01147", "ccsid01147", "ebcdic-fr-297+euro"}},
    {1148, "ibm01148", {"ibm01148", "cp01148", "ccsid01148"}},
    {1149, "ibm01149", {"ibm01149", "cp01149", "ccsid01149", "ebcdic-is-871+euro"}},
    {1200,
     "unicode",
     {"iso-10646-ucs-2", "utf-16", "utf16", "ucs-2", "ucs2", "unicode", "utf-16le"}},
    {1201, "unicodefffe", {"unicodefffe", "utf-16be"}},
    {1250, "windows-1250", {"windows-1250", "x-cp1250"}},
    {1251, "windows-1251", {"windows-1251", "x-cp1251"}},
    {1252, "windows-1252", {"windows-1252", "x-ansi"}},
    {1253, "windows-1253", {"windows-1253"}},
    {1254, "windows-1254", {"windows-1254"}},
    {1255, "windows-1255", {"windows-1255"}},
    {1256, "windows-1256", {"windows-1256", "cp1256"}},
    {1257, "windows-1257", {"windows-1257"}},
    {1258, "windows-1258", {"windows-1258"}},
    {1361, "johab", {"johab"}},
    {10000, "macintosh", {"macintosh", "macroman"}},
    {10001, "x-mac-japanese", {"x-mac-japanese", "macjapanese"}},
    {10002, "x-mac-chinesetrad", {"x-mac-chinesetrad", "macchinesetrad"}},
    {10003, "x-mac-korean", {"x-mac-korean", "mackorean"}},
    {10004, "x-mac-arabic", {"x-mac-arabic", "macarabic"}},
    {10005, "x-mac-hebrew", {"x-mac-hebrew", "machebrew"}},
    {10006, "x-mac-greek", {"x-mac-greek", "macgreek"}},
    {10007, "x-mac-cyrillic", {"x-mac-cyrillic", "maccyrillic"}},
    {10008, "x-mac-chinesesimp", {"x-mac-chinesesimp", "macchinesesimp"}},
    {10010, "x-mac-romanian", {"x-mac-romanian"}},
    {10017, "x-mac-ukrainian", {"x-mac-ukrainian"}},
    {10021, "x-mac-thai", {"x-mac-thai"}},
    {10029, "x-mac-ce", {"x-mac-ce", "maccentraleurope"}},
    {10079, "x-mac-icelandic", {"x-mac-icelandic", "macicelandic"}},
    {10081, "x-mac-turkish", {"x-mac-turkish", "macturkish"}},
    {10082, "x-mac-croatian", {"x-mac-croatian"}},
    {20000, "x-chinese-cns", {"x-chinese-cns"}},
    {20001, "x-cp20001", {"x-cp20001"}},
    {20002, "x-chinese-eten", {"x-chinese-eten"}},
    {20003, "x-cp20003", {"x-cp20003"}},
    {20004, "x-cp20004", {"x-cp20004"}},
    {20005, "x-cp20005", {"x-cp20005"}},
    {20105, "x-ia5", {"irv", "x-ia5"}},
    {20106, "x-ia5-german", {"x-ia5-german", "din-66003", "german"}},
    {20107, "x-ia5-swedish", {"x-ia5-swedish", "sen-850200-b", "swedish"}},
    {20108, "x-ia5-norwegian", {"x-ia5-norwegian", "norwegian", "ns-4551-1"}},
    {20127,
     "us-ascii",
     {"iso-ir-6", "iso646-us", "iso-646.irv:1991", "ibm367", "us-ascii", "cp367", "csascii",
      "ansi-x3.4-1968", "ansi-x3.4-1986", "ascii"}},
    {20261, "x-cp20261", {"x-cp20261"}},
    {20269, "x-cp20269", {"x-cp20269"}},
    {20273, "ibm273", {"ibm273", "cp273", "csibm273"}},
    {20277, "ibm277", {"ibm277", "csibm277", "ebcdic-cp-dk", "ebcdic-cp-no"}},
    {20278, "ibm278", {"ibm278", "cp278", "csibm278", "ebcdic-cp-fi", "ebcdic-cp-se"}},
    {20280, "ibm280", {"ibm280", "cp280", "csibm280", "ebcdic-cp-it"}},
    {20284, "ibm284", {"ibm284", "cp284", "csibm284", "ebcdic-cp-es"}},
    {20285, "ibm285", {"ibm285", "cp285", "csibm285", "ebcdic-cp-gb"}},
    {20290, "ibm290", {"ibm290", "cp290", "csibm290", "ebcdic-jp-kana"}},
    {20297, "ibm297", {"ibm297", "cp297", "csibm297", "ebcdic-cp-fr"}},
    {20420, "ibm420", {"ibm420", "cp420", "csibm420", "ebcdic-cp-ar1"}},
    {20423, "ibm423", {"ibm423", "cp423", "csibm423", "ebcdic-cp-gr"}},
    {20424, "ibm424", {"ibm424", "cp424", "csibm424", "ebcdic-cp-he"}},
    {20833, "x-ebcdic-koreanextended", {"x-ebcdic-koreanextended"}},
    {20838, "ibm-thai", {"ibm-thai", "csibmthai"}},
    {20866, "koi8-r", {"cskoi8r", "koi8-r", "koi", "koi8", "koi8r"}},
    {20871, "ibm871", {"ibm871", "cp871", "csibm871", "ebcdic-cp-is"}},
    {20880, "ibm880", {"ibm880", "cp880", "csibm880", "ebcdic-cyrillic"}},
    {20905, "ibm905", {"ibm905", "cp905", "csibm905", "ebcdic-cp-tr"}},
    {20924, "ibm00924", {"ibm00924", "cp00924", "ccsid00924", "ebcdic-latin9--euro"}},
    {20932, "euc-jp", {}},
    {20936, "x-cp20936", {"x-cp20936"}},
    {20949, "x-cp20949", {"x-cp20949"}},
    {21025, "cp1025", {"cp1025"}},
    {21027, nullptr, {"x-cp21027"}},
    {21866, "koi8-u", {"koi8-u", "koi8-ru"}},
    {28591,
     "iso-8859-1",
     {"iso-8859-1", "iso-ir-100", "iso-8859-1:1987", "ibm819", "cp819", "csisolatin1", "latin1",
      "latin-1"}},
    {28592,
     "iso-8859-2",
     {"iso-8859-2", "iso-ir-101", "iso-8859-2:1987", "csisolatin2", "latin2", "latin-2"}},
    {28593,
     "iso-8859-3",
     {"iso-8859-3", "iso-ir-109", "iso-8859-3:1988", "csisolatin3", "latin3", "latin-3"}},
    {28594,
     "iso-8859-4",
     {"iso-8859-4", "iso-ir-110", "iso-8859-4:1988", "csisolatin4", "latin4", "latin-4"}},
    {28595,
     "iso-8859-5",
     {"iso-8859-5", "iso-ir-144", "iso-8859-5:1988", "csisolatincyrillic", "cyrillic"}},
    {28596,
     "iso-8859-6",
     {"iso-8859-6", "iso-ir-127", "iso-8859-6:1987", "csisolatinarabic", "ecma-114", "arabic"}},
    {28597,
     "iso-8859-7",
     {"iso-8859-7", "iso-ir-126", "iso-8859-7:1987", "csisolatingreek", "ecma-118", "elot-928",
      "greek", "greek8"}},
    {28598,
     "iso-8859-8",
     {"iso-8859-8", "iso-8859-8 visual", "iso-ir-138", "iso-8859-8:1988", "csisolatinhebrew",
      "hebrew", "logical", "visual"}},
    {28599,
     "iso-8859-9",
     {"iso-8859-9", "iso-ir-148", "iso-8859-9:1989", "csisolatin5", "latin5", "latin-5"}},
    {28603, "iso-8859-13", {"iso-8859-13"}},
    {28605, "iso-8859-15", {"iso-8859-15", "csisolatin9", "latin9", "latin-9"}},
    {29001, "x-europa", {"x-europa"}},
    {38598, "iso-8859-8-i", {"iso-8859-8-i"}},
    {50000, nullptr, {"x-user-defined"}},
    {50220, "iso-2022-jp", {"iso-2022-jp", "csiso2022jp"}},
    {50221, "csiso2022jp", {"iso-2022-jp-1"}},
    {50222, "iso-2022-jp", {"iso-2022-jp-2"}},
    {50225, "iso-2022-kr", {"iso-2022-kr", "iso-2022-kr-7", "iso-2022-kr-7bit", "csiso2022kr"}},
    {50227, "x-cp50227", {"x-cp50227", "cp50227"}},
    {50930, nullptr, {"cp930"}},
    {50931, nullptr, {"x-ebcdic-japaneseanduscanada"}},
    {50933, nullptr, {"cp933"}},
    {50935, nullptr, {"cp935"}},
    {50937, nullptr, {"cp937"}},
    {50939, nullptr, {"cp939"}},
    {51932, "euc-jp", {"iso-2022-jpeuc", "x-euc", "x-euc-jp", "cseucpkdfmtjapanese", "euc-jp"}},
    {51936, "euc-cn", {"x-euc-cn", "euc-cn"}},
    {51949, "euc-kr", {"iso-2022-kr-8", "iso-2022-kr-8bit", "cseuckr", "euc-kr"}},
    {51950, nullptr, {"euc-tw"}},
    {52936, "hz-gb-2312", {"hz-gb-2312"}},
    {54936, "gb18030", {"gb18030", "gb18030-2000"}},
    {57002, "x-iscii-de", {"x-iscii-de"}},
    {57003, "x-iscii-be", {"x-iscii-be"}},
    {57004, "x-iscii-ta", {"x-iscii-ta"}},
    {57005, "x-iscii-te", {"x-iscii-te"}},
    {57006, "x-iscii-as", {"x-iscii-as"}},
    {57007, "x-iscii-or", {"x-iscii-or"}},
    {57008, "x-iscii-ka", {"x-iscii-ka"}},
    {57009, "x-iscii-ma", {"x-iscii-ma"}},
    {57010, "x-iscii-gu", {"x-iscii-gu"}},
    {57011, "x-iscii-pa", {"x-iscii-pa"}},
    {65000,
     "utf-7",
     {"utf-7", "unicode-1-1-utf-7", "unicode-2-0-utf-7", "x-unicode-1-1-utf-7",
      "x-unicode-2-0-utf-7", "csunicode11utf7"}},
    {65001,
     "utf-8",
     {"utf-8", "utf8", "unicode-1-1-utf-8", "unicode-2-0-utf-8", "x-unicode-1-1-utf-8",
      "x-unicode-2-0-utf-8"}},
    {65005, "utf-32", {"utf-32"}},
    {65006, "utf-32be", {"utf-32be"}},
};

} // namespace

int CharsetNaming::GetCodePage(const char *name) {
  if (!name) return 0;
  StringBuffer sb;
  sb.append(name);
  sb.trim2();
  sb.toLowerCase();
  sb.replaceCharAnsi('_', '-');
  if (sb.getSize() <= 2) return 0;
  const char *s = sb.getString();
  if (strcasecmp(s, "ansi") == 0) return Psdk::getAnsiCodePage();
  for (const CharsetRow &row : kCharsets) {
    for (const char *const *a = row.accepted; *a; ++a) {
      // A name whose text could not be converted is refused: accepting it would turn every text
      // in that charset into nothing.
      if (std::strcmp(*a, s) == 0)
        return EncodingConvert::canConvert(row.codePage) ? row.codePage : 0;
    }
  }
  return 0;
}

bool CharsetNaming::CharsetValid(const char *name) {
  return GetCodePage(name) != 0;
}

bool CharsetNaming::GetCharsetName(int codePage, StringBuffer &out) {
  out.clear();
  for (const CharsetRow &row : kCharsets) {
    if (row.codePage == codePage) {
      if (!row.nameGivenBack) return false;
      out.append(row.nameGivenBack);
      return true;
    }
  }
  return false;
}

_ckCharset::_ckCharset() = default;

_ckCharset::~_ckCharset() = default;

void _ckCharset::clear() {
  m_codePage = 0;
  m_name.clear();
  m_name.minimizeMemoryUsage();
}

const char *_ckCharset::getName() const {
  const char *s = m_name.getString();
  return s ? s : "";
}

void _ckCharset::setByCodePage(int codePage) {
  StringBuffer name;
  if (CharsetNaming::GetCharsetName(codePage, name)) {
    m_codePage = codePage;
    m_name.clear();
    m_name.append(name);
  } else {
    m_codePage = 0;
    m_name.clear();
  }
  m_name.minimizeMemoryUsage();
}

void _ckCharset::setByName(const char *name) {
  if (!name) return;
  if (std::strcmp(name, "default") == 0 || std::strcmp(name, "x-user-defined") == 0) {
    clear();
    return;
  }
  if (strcasecmp(name, "ansi") == 0) {
    setByCodePage(Psdk::getAnsiCodePage());
    return;
  }
  if (strcasecmp(name, "oem") == 0) {
    setByCodePage(Psdk::getOemCodePage());
    return;
  }
  int cp = CharsetNaming::GetCodePage(name);
  m_codePage = cp;
  m_name.clear();
  if (cp != 0) CharsetNaming::GetCharsetName(cp, m_name);
  m_name.minimizeMemoryUsage();
}
