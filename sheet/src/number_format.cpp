// Number format codes: tokenising a code into sections and rendering values.
#include "number_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <vector>

namespace dbu::sheet {
namespace {

// ---------------------------------------------------------------------------
// Exact decimal rounding. Values are first cut to 15 significant digits, as
// spreadsheets store them, so that 2.675 rounds to 2.68 as shown on screen.

struct Decimal {
  std::string digits;  // no leading or trailing zeros; empty means zero
  int exp = 0;         // value = 0.digits x 10^exp
};

Decimal ToDecimal(double v) {
  Decimal d;
  v = std::fabs(v);
  if (v == 0 || !std::isfinite(v)) return d;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14e", v);
  // buf: "d.dddddddddddddde+XX"
  std::string digits;
  const char* p = buf;
  for (; *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') digits += *p;
  d.exp = std::atoi(p + 1) + 1;
  while (!digits.empty() && digits.back() == '0') digits.pop_back();
  std::size_t lead = 0;
  while (lead < digits.size() && digits[lead] == '0') ++lead;
  d.digits = digits.substr(lead);
  d.exp -= static_cast<int>(lead);
  return d;
}

// Keeps `keep` leading digits, rounding half away from zero.
Decimal RoundDigits(Decimal d, long keep) {
  if (d.digits.empty() || keep >= static_cast<long>(d.digits.size())) return d;
  if (keep < 0) return Decimal{};
  const bool up = d.digits[static_cast<std::size_t>(keep)] >= '5';
  d.digits.resize(static_cast<std::size_t>(keep));
  if (up) {
    long i = keep - 1;
    while (i >= 0 && d.digits[static_cast<std::size_t>(i)] == '9') {
      d.digits[static_cast<std::size_t>(i)] = '0';
      --i;
    }
    if (i < 0) {
      d.digits.insert(d.digits.begin(), '1');
      d.exp += 1;
    } else {
      ++d.digits[static_cast<std::size_t>(i)];
    }
  }
  while (!d.digits.empty() && d.digits.back() == '0') d.digits.pop_back();
  if (d.digits.empty()) d.exp = 0;
  return d;
}

Decimal RoundPlaces(const Decimal& d, int places) { return RoundDigits(d, static_cast<long>(d.exp) + places); }

// Integer digits (no leading zeros, "" for zero) and exactly `places` fraction digits.
void SplitDecimal(const Decimal& d, int places, std::string& int_part, std::string& frac_part) {
  int_part.clear();
  frac_part.clear();
  const long n = static_cast<long>(d.digits.size());
  for (long i = 0; i < d.exp; ++i) int_part += i < n ? d.digits[static_cast<std::size_t>(i)] : '0';
  for (long i = 0; i < places; ++i) {
    const long idx = d.exp + i;
    frac_part += (idx >= 0 && idx < n) ? d.digits[static_cast<std::size_t>(idx)] : '0';
  }
}

// ---------------------------------------------------------------------------
// Tokens of a format section.

enum class Tok {
  Literal, Zero, Hash, Question, Point, Comma, Percent, Exp, Slash, At, General,
  Year2, Year4, Month, Month2, MonthAbbr, MonthName, MonthLetter,
  Day, Day2, DayAbbr, DayName, Hour, Hour2, Minute, Minute2, Second, Second2,
  SubSecond, AmPm, ElapsedH, ElapsedM, ElapsedS
};

struct Token {
  Token(Tok k, std::string t = {}, int w = 0, bool p = false) : kind(k), text(std::move(t)), width(w), plus(p) {}
  Tok kind;
  std::string text;  // literal text; AM/PM spelling
  int width = 0;     // sub-second digits; elapsed field width
  bool plus = false; // exponent shows "+"
};

bool IsDigitTok(Tok k) { return k == Tok::Zero || k == Tok::Hash || k == Tok::Question; }
bool IsDateTok(Tok k) { return k >= Tok::Year2 && k <= Tok::ElapsedS; }

enum class CondOp { None, Lt, Le, Gt, Ge, Eq, Ne };

struct Section {
  std::vector<Token> tokens;
  CondOp op = CondOp::None;
  double cond_value = 0;
  bool is_date = false;
  bool has_at = false;
  bool has_digits = false;
  bool has_general = false;
  int sub_second_digits = 0;
  int language = 0;  // primary language of a "[$-LCID]" tag (0x07 German, 0x0C French); 0: none
  bool twelve_hour = false;
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const char x = static_cast<char>((a[i] >= 'a' && a[i] <= 'z') ? a[i] - 32 : a[i]);
    const char y = static_cast<char>((b[i] >= 'a' && b[i] <= 'z') ? b[i] - 32 : b[i]);
    if (x != y) return false;
  }
  return true;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

void AddLiteral(std::vector<Token>& out, std::string_view text) {
  if (!out.empty() && out.back().kind == Tok::Literal) {
    out.back().text.append(text);
  } else {
    out.push_back(Token{Tok::Literal, std::string(text)});
  }
}

// Reads "[...]" contents: conditions, elapsed times, currency/locale tags; colours are ignored.
void ParseBracket(std::string_view inner, Section& sec) {
  if (inner.empty()) return;
  const char c0 = inner[0];
  if (c0 == '<' || c0 == '>' || c0 == '=') {
    std::size_t n = 1;
    CondOp op;
    if (c0 == '<' && inner.size() > 1 && inner[1] == '=') { op = CondOp::Le; n = 2; }
    else if (c0 == '<' && inner.size() > 1 && inner[1] == '>') { op = CondOp::Ne; n = 2; }
    else if (c0 == '>' && inner.size() > 1 && inner[1] == '=') { op = CondOp::Ge; n = 2; }
    else if (c0 == '<') op = CondOp::Lt;
    else if (c0 == '>') op = CondOp::Gt;
    else op = CondOp::Eq;
    // Format codes write the number with "." whatever the process locale says.
    std::string_view num = inner.substr(n);
    while (!num.empty() && num.front() == ' ') num.remove_prefix(1);
    if (!num.empty() && num.front() == '+') num.remove_prefix(1);
    double v = 0;
    const auto read = std::from_chars(num.data(), num.data() + num.size(), v);
    if (read.ec == std::errc()) {
      sec.op = op;
      sec.cond_value = v;
    }
    return;
  }
  if (c0 == '$') {
    const std::string_view rest = inner.substr(1);
    const std::size_t dash = rest.find('-');
    AddLiteral(sec.tokens, rest.substr(0, dash));
    // The locale after the dash names the language of month and day names.
    if (dash != std::string_view::npos) {
      std::uint32_t lcid = 0;
      const std::string_view hex = rest.substr(dash + 1);
      const auto r = std::from_chars(hex.data(), hex.data() + hex.size(), lcid, 16);
      if (r.ec == std::errc() && r.ptr == hex.data() + hex.size()) sec.language = static_cast<int>(lcid & 0x3FF);
    }
    return;
  }
  const char l = Lower(c0);
  if ((l == 'h' || l == 'm' || l == 's') &&
      std::all_of(inner.begin(), inner.end(), [l](char c) { return Lower(c) == l; })) {
    const Tok k = l == 'h' ? Tok::ElapsedH : l == 'm' ? Tok::ElapsedM : Tok::ElapsedS;
    sec.tokens.push_back(Token{k, {}, static_cast<int>(inner.size())});
  }
  // Colours ([Red], [Color10]) and anything else change nothing in the text.
}

std::size_t RunLength(std::string_view s, std::size_t i, char lower) {
  std::size_t n = 0;
  while (i + n < s.size() && Lower(s[i + n]) == lower) ++n;
  return n;
}

Section ParseSection(std::string_view s) {
  Section sec;
  auto& t = sec.tokens;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    const char l = Lower(c);
    if (c == '"') {
      const std::size_t end = s.find('"', i + 1);
      const std::size_t stop = end == std::string_view::npos ? s.size() : end;
      AddLiteral(t, s.substr(i + 1, stop - i - 1));
      i = stop == s.size() ? stop : stop + 1;
    } else if (c == '\\') {
      if (i + 1 < s.size()) AddLiteral(t, s.substr(i + 1, 1));
      i += 2;
    } else if (c == '_') {
      AddLiteral(t, " ");
      i += 2;
    } else if (c == '*') {
      i += 2;  // fill to the column width: no fixed text
    } else if (c == '[') {
      const std::size_t end = s.find(']', i + 1);
      const std::size_t stop = end == std::string_view::npos ? s.size() : end;
      ParseBracket(s.substr(i + 1, stop - i - 1), sec);
      i = stop == s.size() ? stop : stop + 1;
    } else if (c == '0') {
      t.push_back(Token{Tok::Zero});
      ++i;
    } else if (c == '#') {
      t.push_back(Token{Tok::Hash});
      ++i;
    } else if (c == '?') {
      t.push_back(Token{Tok::Question});
      ++i;
    } else if (c == '.') {
      t.push_back(Token{Tok::Point});
      ++i;
    } else if (c == ',') {
      t.push_back(Token{Tok::Comma});
      ++i;
    } else if (c == '%') {
      t.push_back(Token{Tok::Percent});
      ++i;
    } else if (c == '/') {
      t.push_back(Token{Tok::Slash});
      ++i;
    } else if (c == '@') {
      t.push_back(Token{Tok::At});
      ++i;
    } else if (l == 'e' && i + 1 < s.size() && (s[i + 1] == '+' || s[i + 1] == '-')) {
      t.push_back(Token{Tok::Exp, {}, 0, s[i + 1] == '+'});
      i += 2;
    } else if (l == 'g' && EqualsNoCase(s.substr(i, 7), "General")) {
      t.push_back(Token{Tok::General});
      i += 7;
    } else if (l == 'a' && EqualsNoCase(s.substr(i, 5), "AM/PM")) {
      t.push_back(Token{Tok::AmPm, std::string(s.substr(i, 5))});
      i += 5;
    } else if (l == 'a' && EqualsNoCase(s.substr(i, 3), "A/P")) {
      t.push_back(Token{Tok::AmPm, std::string(s.substr(i, 3))});
      i += 3;
    } else if (l == 'y' || l == 'e') {
      const std::size_t n = RunLength(s, i, l);
      t.push_back(Token{(l == 'y' && n <= 2) ? Tok::Year2 : Tok::Year4});
      i += n;
    } else if (l == 'm') {
      const std::size_t n = RunLength(s, i, 'm');
      t.push_back(Token{n == 1 ? Tok::Month : n == 2 ? Tok::Month2 : n == 3 ? Tok::MonthAbbr
                                      : n == 4 ? Tok::MonthName : Tok::MonthLetter});
      i += n;
    } else if (l == 'd') {
      const std::size_t n = RunLength(s, i, 'd');
      t.push_back(Token{n == 1 ? Tok::Day : n == 2 ? Tok::Day2 : n == 3 ? Tok::DayAbbr : Tok::DayName});
      i += n;
    } else if (l == 'h') {
      const std::size_t n = RunLength(s, i, 'h');
      t.push_back(Token{n == 1 ? Tok::Hour : Tok::Hour2});
      i += n;
    } else if (l == 's') {
      const std::size_t n = RunLength(s, i, 's');
      t.push_back(Token{n == 1 ? Tok::Second : Tok::Second2});
      i += n;
    } else {
      // Any other character stands for itself; keep UTF-8 sequences whole.
      std::size_t n = 1;
      while (i + n < s.size() && (static_cast<unsigned char>(s[i + n]) & 0xC0) == 0x80) ++n;
      AddLiteral(t, s.substr(i, n));
      i += n;
    }
  }

  for (const Token& k : t) {
    if (IsDateTok(k.kind)) sec.is_date = true;
    if (k.kind == Tok::AmPm) sec.twelve_hour = true;
  }
  if (sec.is_date) {
    // "m" next to hours or seconds means minutes; ".0" after seconds means fractions of a second.
    std::vector<Token> out;
    for (std::size_t k = 0; k < t.size(); ++k) {
      Token tok = t[k];
      if (tok.kind == Tok::Month || tok.kind == Tok::Month2) {
        bool minute = false;
        for (std::size_t b = k; b-- > 0;) {
          if (t[b].kind == Tok::Literal) continue;
          minute = t[b].kind == Tok::Hour || t[b].kind == Tok::Hour2 || t[b].kind == Tok::ElapsedH;
          break;
        }
        for (std::size_t f = k + 1; !minute && f < t.size(); ++f) {
          if (t[f].kind == Tok::Literal) continue;
          minute = t[f].kind == Tok::Second || t[f].kind == Tok::Second2 || t[f].kind == Tok::ElapsedS;
          break;
        }
        if (minute) tok.kind = tok.kind == Tok::Month ? Tok::Minute : Tok::Minute2;
      }
      if (tok.kind == Tok::Point && k + 1 < t.size() && t[k + 1].kind == Tok::Zero) {
        int n = 0;
        while (k + 1 < t.size() && t[k + 1].kind == Tok::Zero) {
          ++n;
          ++k;
        }
        tok = Token{Tok::SubSecond, {}, std::min(n, 3)};
        sec.sub_second_digits = std::max(sec.sub_second_digits, tok.width);
      } else if (tok.kind == Tok::Point) {
        tok = Token{Tok::Literal, "."};
      } else if (tok.kind == Tok::Slash || tok.kind == Tok::Comma || tok.kind == Tok::Percent ||
                 IsDigitTok(tok.kind)) {
        tok = Token{Tok::Literal, tok.kind == Tok::Slash ? "/" : tok.kind == Tok::Comma ? ","
                                  : tok.kind == Tok::Percent ? "%" : tok.kind == Tok::Zero ? "0"
                                  : tok.kind == Tok::Hash ? "#" : "?"};
      }
      if (tok.kind == Tok::Literal && !out.empty() && out.back().kind == Tok::Literal) {
        out.back().text += tok.text;
      } else {
        out.push_back(std::move(tok));
      }
    }
    t = std::move(out);
  }
  for (const Token& k : t) {
    if (k.kind == Tok::At) sec.has_at = true;
    if (IsDigitTok(k.kind)) sec.has_digits = true;
    if (k.kind == Tok::General) sec.has_general = true;
  }
  return sec;
}

// Splits a code at ";" outside quotes, brackets and escapes.
std::vector<std::string_view> SplitSections(std::string_view code) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  bool quoted = false, bracket = false;
  for (std::size_t i = 0; i < code.size(); ++i) {
    const char c = code[i];
    if (quoted) {
      if (c == '"') quoted = false;
    } else if (bracket) {
      if (c == ']') bracket = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '[') {
      bracket = true;
    } else if (c == '\\' || c == '_' || c == '*') {
      ++i;
    } else if (c == ';') {
      parts.push_back(code.substr(start, i - start));
      start = i + 1;
    }
  }
  parts.push_back(code.substr(start));
  return parts;
}

// ---------------------------------------------------------------------------
// Dates.

const char* const kMonthNames[] = {"January", "February", "March", "April", "May", "June", "July",
                                   "August", "September", "October", "November", "December"};
const char* const kDayNames[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

// Month and day names of the languages a format's locale tag may name; other
// languages show the English names.
struct DateNames {
  const char* months[12];
  const char* months_short[12];
  const char* days[7];
  const char* days_short[7];
};
const DateNames kGerman = {
    {"Januar", "Februar", "M\u00e4rz", "April", "Mai", "Juni", "Juli", "August", "September", "Oktober", "November",
     "Dezember"},
    {"Jan", "Feb", "M\u00e4r", "Apr", "Mai", "Jun", "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"},
    {"Sonntag", "Montag", "Dienstag", "Mittwoch", "Donnerstag", "Freitag", "Samstag"},
    {"So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"}};
const DateNames kFrench = {
    {"janvier", "f\u00e9vrier", "mars", "avril", "mai", "juin", "juillet", "ao\u00fbt", "septembre", "octobre",
     "novembre", "d\u00e9cembre"},
    {"janv.", "f\u00e9vr.", "mars", "avr.", "mai", "juin", "juil.", "ao\u00fbt", "sept.", "oct.", "nov.",
     "d\u00e9c."},
    {"dimanche", "lundi", "mardi", "mercredi", "jeudi", "vendredi", "samedi"},
    {"dim.", "lun.", "mar.", "mer.", "jeu.", "ven.", "sam."}};

const DateNames* NamesOf(int language) {
  switch (language) {
    case 0x07: return &kGerman;
    case 0x0C: return &kFrench;
    default: return nullptr;
  }
}

struct CivilDate {
  long year;
  int month, day;
};

CivilDate CivilFromDays(long z) {  // days since 1970-01-01
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const long doe = z - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return CivilDate{yoe + era * 400 + (m <= 2), m, d};
}

// Calendar date of a 1900-system day serial, with the spreadsheet's own
// day 0 (0 January 1900) and its 29 February 1900.
CivilDate DateOfSerial(long days) {
  if (days == 0) return CivilDate{1900, 1, 0};
  if (days == 60) return CivilDate{1900, 2, 29};
  const long kDays18991230 = -25569;  // 1899-12-30 relative to 1970-01-01
  return CivilFromDays(kDays18991230 + days + (days < 60 ? 1 : 0));
}

std::string Pad(long v, int width) {
  std::string s = std::to_string(v < 0 ? -v : v);
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<std::size_t>(width) - s.size(), '0');
  return v < 0 ? "-" + s : s;
}

constexpr double kMaxSerial = 2958466.0;  // 1 January 10000 in the 1900 system
const char kOutOfRange[] = "########";

// serial counts days in the 1900 system; elapsed is the stored value itself,
// the length of time that [h], [m] and [s] show whichever system the file uses.
std::string RenderDate(const Section& sec, double serial, double elapsed) {
  if (!(serial >= 0) || serial >= kMaxSerial) return kOutOfRange;
  long long unit = 1000;  // milliseconds per displayed step
  for (int i = 0; i < sec.sub_second_digits; ++i) unit /= 10;
  const long long total_ms = std::llround(serial * 86400000.0 / static_cast<double>(unit)) * unit;
  const long long elapsed_ms = std::llround(elapsed * 86400000.0 / static_cast<double>(unit)) * unit;
  const long days = static_cast<long>(total_ms / 86400000);
  const long long ms_of_day = total_ms % 86400000;
  const CivilDate date = DateOfSerial(days);
  const int hour = static_cast<int>(ms_of_day / 3600000);
  const int minute = static_cast<int>(ms_of_day / 60000 % 60);
  const int second = static_cast<int>(ms_of_day / 1000 % 60);
  const int millis = static_cast<int>(ms_of_day % 1000);
  const int weekday = static_cast<int>((days + 6) % 7);
  const DateNames* names = NamesOf(sec.language);

  std::string out;
  for (const Token& t : sec.tokens) {
    switch (t.kind) {
      case Tok::Literal: out += t.text; break;
      case Tok::Year2: out += Pad(date.year % 100, 2); break;
      case Tok::Year4: out += Pad(date.year, 4); break;
      case Tok::Month: out += std::to_string(date.month); break;
      case Tok::Month2: out += Pad(date.month, 2); break;
      case Tok::MonthAbbr:
        out += names ? names->months_short[date.month - 1] : std::string(kMonthNames[date.month - 1]).substr(0, 3);
        break;
      case Tok::MonthName: out += names ? names->months[date.month - 1] : kMonthNames[date.month - 1]; break;
      case Tok::MonthLetter: out += (names ? names->months : kMonthNames)[date.month - 1][0]; break;
      case Tok::Day: out += std::to_string(date.day); break;
      case Tok::Day2: out += Pad(date.day, 2); break;
      case Tok::DayAbbr:
        out += names ? names->days_short[weekday] : std::string(kDayNames[weekday]).substr(0, 3);
        break;
      case Tok::DayName: out += names ? names->days[weekday] : kDayNames[weekday]; break;
      case Tok::Hour:
      case Tok::Hour2: {
        int h = hour;
        if (sec.twelve_hour) h = h % 12 == 0 ? 12 : h % 12;
        out += t.kind == Tok::Hour ? std::to_string(h) : Pad(h, 2);
        break;
      }
      case Tok::Minute: out += std::to_string(minute); break;
      case Tok::Minute2: out += Pad(minute, 2); break;
      case Tok::Second: out += std::to_string(second); break;
      case Tok::Second2: out += Pad(second, 2); break;
      case Tok::SubSecond: out += "." + Pad(millis, 3).substr(0, static_cast<std::size_t>(t.width)); break;
      case Tok::AmPm: {
        const bool pm = hour >= 12;
        if (t.text.size() == 5) {
          const bool lower = t.text[0] == 'a' || t.text[0] == 'p';
          out += pm ? (lower ? "pm" : "PM") : (lower ? "am" : "AM");
        } else {
          const char c = t.text[0];
          const bool lower = c >= 'a' && c <= 'z';
          out += pm ? (lower ? 'p' : 'P') : (lower ? 'a' : 'A');
        }
        break;
      }
      case Tok::ElapsedH: out += Pad(static_cast<long>(elapsed_ms / 3600000), t.width); break;
      case Tok::ElapsedM: out += Pad(static_cast<long>(elapsed_ms / 60000), t.width); break;
      case Tok::ElapsedS: out += Pad(static_cast<long>(elapsed_ms / 1000), t.width); break;
      default: break;
    }
  }
  return out;
}

// ---------------------------------------------------------------------------
// Numbers.

// Writes `digits` (most significant first) into the placeholders of one digit
// group, right-aligned; extra digits go before the leftmost placeholder.
// Returns the text for each token index of the group via out.
struct DigitGroup {
  std::vector<std::size_t> slots;  // token indices of the placeholders, left to right
};

void FillInteger(const std::vector<Token>& toks, const DigitGroup& g, const std::string& digits, bool thousands,
                 std::vector<std::string>& slot_text) {
  const std::size_t k = g.slots.size();
  const std::size_t n = digits.size();
  for (std::size_t j = 0; j < k; ++j) {
    const std::size_t pos = k - 1 - j;  // digits to the right of this slot
    std::string text;
    auto emit = [&](char d, std::size_t p) {
      text += d;
      if (thousands && p > 0 && p % 3 == 0) text += ',';
    };
    if (j == 0 && n > k) {
      for (std::size_t i = 0; i < n - k; ++i) emit(digits[i], n - 1 - i);
    }
    if (pos < n) {
      emit(digits[n - 1 - pos], pos);
    } else {
      const Tok kind = toks[g.slots[j]].kind;
      if (kind == Tok::Zero) emit('0', pos);
      else if (kind == Tok::Question) text += ' ';
    }
    slot_text[g.slots[j]] = text;
  }
}

// Everything a number section needs to know about its placeholders.
struct NumberLayout {
  DigitGroup int_group, frac_group, exp_group;
  std::size_t point = SIZE_MAX, exp = SIZE_MAX, slash = SIZE_MAX;
  DigitGroup whole_group, num_group, den_group;
  long fixed_denominator = 0;
  bool thousands = false;
  int scale_thousands = 0;
  int percent = 0;
};

NumberLayout Analyse(const std::vector<Token>& t) {
  NumberLayout L;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i].kind == Tok::Percent) ++L.percent;
    if (t[i].kind == Tok::Exp && L.exp == SIZE_MAX) L.exp = i;
    if (t[i].kind == Tok::Point && L.point == SIZE_MAX && L.exp == SIZE_MAX) L.point = i;
    if (t[i].kind == Tok::Slash && L.slash == SIZE_MAX && L.exp == SIZE_MAX) L.slash = i;
  }
  const std::size_t mantissa_end = L.exp == SIZE_MAX ? t.size() : L.exp;
  if (L.slash != SIZE_MAX) {
    // A fraction needs a placeholder right before the slash and a placeholder or number after it.
    std::size_t b = L.slash;
    while (b > 0 && IsDigitTok(t[b - 1].kind)) --b;
    std::size_t a = L.slash + 1;
    bool denominator = false;
    std::string fixed;
    while (a < t.size()) {
      if (IsDigitTok(t[a].kind)) {
        L.den_group.slots.push_back(a);
        fixed += '0';
        denominator = true;
      } else if (t[a].kind == Tok::Literal && !t[a].text.empty() && t[a].text[0] >= '1' && t[a].text[0] <= '9') {
        std::size_t d = 0;
        while (d < t[a].text.size() && t[a].text[d] >= '0' && t[a].text[d] <= '9') fixed += t[a].text[d++];
        denominator = true;
        if (d < t[a].text.size()) break;
      } else {
        break;
      }
      ++a;
    }
    if (b == L.slash || !denominator) {
      L.slash = SIZE_MAX;
      L.den_group.slots.clear();
    } else {
      for (std::size_t i = b; i < L.slash; ++i) L.num_group.slots.push_back(i);
      bool literal_digit = false;
      for (char c : fixed) literal_digit = literal_digit || c != '0';
      if (literal_digit) {
        L.fixed_denominator = std::atol(fixed.c_str());
        L.den_group.slots.clear();
      }
      for (std::size_t i = 0; i < b; ++i)
        if (IsDigitTok(t[i].kind)) L.whole_group.slots.push_back(i);
      return L;
    }
  }
  for (std::size_t i = 0; i < mantissa_end; ++i) {
    if (!IsDigitTok(t[i].kind)) continue;
    (L.point != SIZE_MAX && i > L.point ? L.frac_group : L.int_group).slots.push_back(i);
  }
  for (std::size_t i = mantissa_end; i < t.size(); ++i)
    if (IsDigitTok(t[i].kind)) L.exp_group.slots.push_back(i);
  // A comma between integer digits groups thousands; one after the last digit scales by 1000.
  const std::size_t int_end = std::min(mantissa_end, L.point);
  std::size_t last_int_digit = SIZE_MAX, last_digit = SIZE_MAX, first_digit = SIZE_MAX;
  for (std::size_t i = 0; i < mantissa_end; ++i) {
    if (!IsDigitTok(t[i].kind)) continue;
    if (first_digit == SIZE_MAX) first_digit = i;
    last_digit = i;
    if (i < int_end) last_int_digit = i;
  }
  for (std::size_t i = 0; i < mantissa_end; ++i) {
    if (t[i].kind != Tok::Comma || first_digit == SIZE_MAX || i < first_digit) continue;
    if (last_int_digit != SIZE_MAX && i < last_int_digit) L.thousands = true;
    else if (i > last_digit) ++L.scale_thousands;
  }
  return L;
}

// Best fraction n/d for f in [0, 1) with d <= max_den.
void NearestFraction(double f, long max_den, long& num, long& den) {
  num = 0;
  den = 1;
  double best = f;
  for (long d = 1; d <= max_den; ++d) {
    const long n = std::lround(f * static_cast<double>(d));
    const double err = std::fabs(f - static_cast<double>(n) / static_cast<double>(d));
    if (err < best - 1e-12) {
      best = err;
      num = n;
      den = d;
    }
  }
}

std::string RenderFraction(const std::vector<Token>& t, const NumberLayout& L, double v) {
  if (!(v < 1e15)) return FormatGeneral(v);  // no fraction digits left to show
  std::vector<std::string> slot(t.size());
  const bool has_whole = !L.whole_group.slots.empty();
  double whole = has_whole ? std::floor(v) : 0;
  const double f = v - whole;
  long num, den;
  if (L.fixed_denominator > 0) {
    den = L.fixed_denominator;
    num = std::lround(f * static_cast<double>(den));
  } else {
    long max_den = 1;
    for (std::size_t i = 0; i < std::min<std::size_t>(L.den_group.slots.size(), 4); ++i) max_den *= 10;
    max_den -= 1;
    if (has_whole) {
      NearestFraction(f, max_den, num, den);
    } else {
      // Improper fraction: search over the whole value.
      long best_n = std::lround(v), best_d = 1;
      double best = std::fabs(v - static_cast<double>(best_n));
      for (long d = 2; d <= max_den; ++d) {
        const long n = std::lround(v * static_cast<double>(d));
        const double err = std::fabs(v - static_cast<double>(n) / static_cast<double>(d));
        if (err < best - 1e-12) {
          best = err;
          best_n = n;
          best_d = d;
        }
      }
      num = best_n;
      den = best_d;
    }
  }
  if (has_whole && num == den) {
    whole += 1;
    num = 0;
  }
  const bool blank_fraction = has_whole && num == 0;
  if (has_whole) {
    std::string digits = whole >= 1 ? Pad(static_cast<long>(whole), 1) : "";
    if (digits.empty() && num == 0) digits = "0";
    FillInteger(t, L.whole_group, digits, false, slot);
  }
  FillInteger(t, L.num_group, num == 0 && !has_whole ? "0" : std::to_string(num), false, slot);
  // Denominator: left-aligned, padded on the right.
  std::string den_text = std::to_string(den);
  if (L.fixed_denominator == 0) {
    for (std::size_t j = 0; j < L.den_group.slots.size(); ++j) {
      const std::size_t idx = L.den_group.slots[j];
      if (j == 0) slot[idx] = den_text.substr(0, den_text.size() > L.den_group.slots.size()
                                                     ? den_text.size() - L.den_group.slots.size() + 1 : 1);
      else {
        const std::size_t pos = den_text.size() > L.den_group.slots.size()
                                    ? den_text.size() - L.den_group.slots.size() + j : j;
        slot[idx] = pos < den_text.size() ? std::string(1, den_text[pos])
                    : t[idx].kind == Tok::Question ? " " : t[idx].kind == Tok::Zero ? "0" : "";
      }
    }
  }
  std::string out;
  bool in_fraction = false;
  std::string fraction_text;
  const std::size_t first_num = L.num_group.slots.front();
  std::size_t last_den = L.den_group.slots.empty() ? L.slash + 1 : L.den_group.slots.back();
  if (L.fixed_denominator > 0) {
    // The fixed denominator is a literal right after the slash.
    last_den = L.slash + 1;
  }
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (i == first_num) in_fraction = true;
    std::string piece;
    if (IsDigitTok(t[i].kind)) piece = slot[i];
    else if (t[i].kind == Tok::Slash) piece = "/";
    else if (t[i].kind == Tok::Literal) piece = t[i].text;
    else if (t[i].kind == Tok::General) piece = FormatGeneral(v);
    if (in_fraction) fraction_text += piece;
    else out += piece;
    if (i == last_den) {
      in_fraction = false;
      out += blank_fraction ? std::string(fraction_text.size(), ' ') : fraction_text;
      fraction_text.clear();
    }
  }
  out += blank_fraction ? std::string(fraction_text.size(), ' ') : fraction_text;
  return out;
}

std::string RenderNumber(const Section& sec, double v) {
  const std::vector<Token>& t = sec.tokens;
  NumberLayout L = Analyse(t);
  for (int i = 0; i < L.percent; ++i) v *= 100;
  for (int i = 0; i < L.scale_thousands; ++i) v /= 1000;
  if (L.slash != SIZE_MAX) return RenderFraction(t, L, v);

  std::vector<std::string> slot(t.size());
  const int places = static_cast<int>(L.frac_group.slots.size());
  std::string int_digits, frac_digits, exp_text;
  if (L.exp != SIZE_MAX) {
    Decimal d = ToDecimal(v);
    const int k = std::max<int>(1, static_cast<int>(L.int_group.slots.size()));
    bool engineering = false;
    for (std::size_t s : L.int_group.slots) engineering = engineering || t[s].kind == Tok::Hash;
    engineering = engineering && k > 1;
    int e = 0;
    if (!d.digits.empty()) {
      for (int pass = 0; pass < 2; ++pass) {
        const int mag = d.exp - 1;  // floor(log10(v))
        if (engineering) e = (mag >= 0 ? mag / k : -((-mag + k - 1) / k)) * k;
        else e = mag - (k - 1);
        Decimal m = d;
        m.exp -= e;
        m = RoundPlaces(m, places);
        if (pass == 0 && !engineering && m.exp > k) {
          d = m;  // rounding carried into a new digit: recompute the exponent
          d.exp += e;
          continue;
        }
        d = m;
        break;
      }
    }
    SplitDecimal(d, places, int_digits, frac_digits);
    const int width = static_cast<int>(L.exp_group.slots.size());
    exp_text = (e < 0 ? "-" : (t[L.exp].plus ? "+" : "")) + Pad(std::abs(e), width);
  } else {
    SplitDecimal(RoundPlaces(ToDecimal(v), places), places, int_digits, frac_digits);
  }

  FillInteger(t, L.int_group, int_digits, L.thousands, slot);
  // Fraction digits: trailing zeros vanish under "#" and become spaces under "?".
  bool trailing = true;
  for (std::size_t j = L.frac_group.slots.size(); j-- > 0;) {
    const std::size_t idx = L.frac_group.slots[j];
    const char d = frac_digits[j];
    if (trailing && d == '0' && t[idx].kind != Tok::Zero) {
      slot[idx] = t[idx].kind == Tok::Question ? " " : "";
    } else {
      trailing = false;
      slot[idx] = std::string(1, d);
    }
  }
  std::string out;
  bool exp_written = false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    switch (t[i].kind) {
      case Tok::Literal: out += t[i].text; break;
      case Tok::Zero:
      case Tok::Hash:
      case Tok::Question:
        if (i > L.exp && L.exp != SIZE_MAX) {
          if (!exp_written) out += exp_text;
          exp_written = true;
        } else {
          out += slot[i];
        }
        break;
      case Tok::Point:
        if (i == L.point) {
          if (L.int_group.slots.empty()) out += int_digits;
          out += '.';
        } else {
          out += '.';
        }
        break;
      case Tok::Percent: out += '%'; break;
      case Tok::Exp:
        out += 'E';
        if (L.exp_group.slots.empty()) out += exp_text;
        exp_written = L.exp_group.slots.empty();
        break;
      case Tok::Slash: out += '/'; break;
      case Tok::General: out += FormatGeneral(v); break;
      case Tok::At: break;
      default: break;
    }
  }
  return out;
}

std::string RenderLiteralSection(const Section& sec, double v) {
  std::string out;
  for (const Token& t : sec.tokens) {
    if (t.kind == Tok::Literal) out += t.text;
    else if (t.kind == Tok::General || t.kind == Tok::At) out += FormatGeneral(v);
    else if (t.kind == Tok::Percent) out += '%';
    else if (t.kind == Tok::Point) out += '.';
    else if (t.kind == Tok::Comma) out += ',';
    else if (t.kind == Tok::Slash) out += '/';
  }
  return out;
}

bool Matches(CondOp op, double v, double c) {
  switch (op) {
    case CondOp::Lt: return v < c;
    case CondOp::Le: return v <= c;
    case CondOp::Gt: return v > c;
    case CondOp::Ge: return v >= c;
    case CondOp::Eq: return v == c;
    case CondOp::Ne: return v != c;
    case CondOp::None: return true;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------

std::string FormatGeneral(double value) {
  if (std::isnan(value) || std::isinf(value)) return "#NUM!";
  if (value == 0) return "0";
  const std::string sign = value < 0 ? "-" : "";
  const Decimal d = ToDecimal(value);
  const int mag = d.exp - 1;  // floor(log10(|value|))
  if (mag >= -5 && mag <= 10) {
    // Plain notation in at most 11 characters: integer digits, point, decimals.
    const int int_len = std::max(1, mag + 1);
    const int places = std::max(0, 10 - int_len);
    std::string ip, fp;
    SplitDecimal(RoundPlaces(d, places), places, ip, fp);
    while (!fp.empty() && fp.back() == '0') fp.pop_back();
    if (ip.empty()) ip = "0";
    if (ip.size() <= 11) return sign + ip + (fp.empty() ? "" : "." + fp);
  }
  // Scientific: up to 6 significant digits, trailing zeros dropped.
  const Decimal m = RoundDigits(d, 6);
  const int e = m.exp - 1;
  const std::string digits = m.digits.empty() ? "0" : m.digits;
  std::string out = sign + digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  return out + (e < 0 ? "E-" : "E+") + Pad(std::abs(e), 2);
}

std::string BuiltinFormatCode(int id, const DateSettings& dates) {
  if (id == 14 || id == 22) {
    // The system's short date pattern in format-code letters; its "/" is the date separator.
    std::string code;
    const std::string& p = dates.short_date_format;
    for (std::size_t i = 0; i < p.size(); ++i) {
      const char c = p[i];
      if (c == '/') {
        code += "\"" + dates.date_separator + "\"";
      } else if (c == '\'' || c == '"') {
        const std::size_t end = p.find(c, i + 1);
        const std::size_t stop = end == std::string::npos ? p.size() : end;
        code += "\"" + p.substr(i + 1, stop - i - 1) + "\"";
        i = stop;
      } else if (c == 'd' || c == 'D' || c == 'm' || c == 'M' || c == 'y' || c == 'Y') {
        code += Lower(c);
      } else {
        code += "\\";
        code += c;
      }
    }
    return id == 22 ? code + " h:mm" : code;
  }
  switch (id) {
    case 1: return "0";
    case 2: return "0.00";
    case 3: return "#,##0";
    case 4: return "#,##0.00";
    case 5: return "\"$\"#,##0_);(\"$\"#,##0)";
    case 6: return "\"$\"#,##0_);[Red](\"$\"#,##0)";
    case 7: return "\"$\"#,##0.00_);(\"$\"#,##0.00)";
    case 8: return "\"$\"#,##0.00_);[Red](\"$\"#,##0.00)";
    case 9: return "0%";
    case 10: return "0.00%";
    case 11: return "0.00E+00";
    case 12: return "# ?/?";
    case 13: return "# ?\?/?\?";
    case 15: return "d-mmm-yy";
    case 16: return "d-mmm";
    case 17: return "mmm-yy";
    case 18: return "h:mm AM/PM";
    case 19: return "h:mm:ss AM/PM";
    case 20: return "h:mm";
    case 21: return "h:mm:ss";
    case 37: return "#,##0_);(#,##0)";
    case 38: return "#,##0_);[Red](#,##0)";
    case 39: return "#,##0.00_);(#,##0.00)";
    case 40: return "#,##0.00_);[Red](#,##0.00)";
    case 41: return "_(* #,##0_);_(* \\(#,##0\\);_(* \"-\"_);_(@_)";
    case 42: return "_(\"$\"* #,##0_);_(\"$\"* \\(#,##0\\);_(\"$\"* \"-\"_);_(@_)";
    case 43: return "_(* #,##0.00_);_(* \\(#,##0.00\\);_(* \"-\"?\?_);_(@_)";
    case 44: return "_(\"$\"* #,##0.00_);_(\"$\"* \\(#,##0.00\\);_(\"$\"* \"-\"?\?_);_(@_)";
    case 45: return "mm:ss";
    case 46: return "[h]:mm:ss";
    case 47: return "mm:ss.0";
    case 48: return "##0.0E+0";
    case 49: return "@";
    default: return "General";
  }
}

struct FormatCode::Impl {
  std::vector<Section> sections;  // at most four
};

FormatCode::FormatCode(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
FormatCode::FormatCode(FormatCode&&) noexcept = default;
FormatCode& FormatCode::operator=(FormatCode&&) noexcept = default;
FormatCode::~FormatCode() = default;

FormatCode FormatCode::Parse(std::string_view code) {
  auto impl = std::make_unique<Impl>();
  std::vector<std::string_view> parts = SplitSections(code);
  if (parts.size() > 4) parts.resize(4);
  for (std::string_view p : parts) impl->sections.push_back(ParseSection(p));
  return FormatCode(std::move(impl));
}

std::string FormatCode::FormatNumber(double value, bool date1904) const {
  if (std::isnan(value) || std::isinf(value)) return "#NUM!";
  const std::vector<Section>& s = impl_->sections;
  // The fourth section is for text only.
  const std::size_t numeric = std::min<std::size_t>(s.size(), 3);
  const Section* sec = &s[0];
  bool keep_sign = true;
  const bool conditional = s[0].op != CondOp::None || (numeric > 1 && s[1].op != CondOp::None);
  if (conditional) {
    if (Matches(s[0].op, value, s[0].cond_value)) {
      sec = &s[0];
    } else if (numeric > 1 && (s[1].op == CondOp::None || Matches(s[1].op, value, s[1].cond_value))) {
      sec = &s[1];
    } else if (numeric > 2) {
      sec = &s[2];
    } else {
      return FormatGeneral(value);
    }
  } else if (value < 0 && numeric >= 2) {
    sec = &s[1];
    keep_sign = false;
  } else if (value == 0 && numeric >= 3) {
    sec = &s[2];
  }
  // A section chosen by a "less than zero" condition shows its own marks instead of a minus.
  if (conditional && (sec->op == CondOp::Lt || sec->op == CondOp::Le) && sec->cond_value <= 0) keep_sign = false;
  double v = keep_sign ? value : std::fabs(value);
  if (sec->is_date) {
    const double serial = date1904 ? value + 1462.0 : value;
    if (value < 0) return kOutOfRange;
    return RenderDate(*sec, serial, value);
  }
  std::string sign;
  if (v < 0) {
    sign = "-";
    v = -v;
  }
  if (!sec->has_digits) {
    if (sec->has_general || sec->has_at) return sign + RenderLiteralSection(*sec, v);
    return RenderLiteralSection(*sec, v);  // text only: no number, no sign
  }
  return sign + RenderNumber(*sec, v);
}

std::string FormatCode::FormatText(std::string_view text) const {
  const std::vector<Section>& s = impl_->sections;
  const Section* sec = nullptr;
  if (s.size() >= 4) sec = &s[3];
  else if (s[0].has_at) sec = &s[0];
  if (sec == nullptr) return std::string(text);
  std::string out;
  for (const Token& t : sec->tokens) {
    if (t.kind == Tok::Literal) out += t.text;
    else if (t.kind == Tok::At) out += text;
  }
  return out;
}

}  // namespace dbu::sheet
