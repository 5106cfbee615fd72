// dbtool: inspect engine tables from the shell.
//   dbtool info TABLE      fields and record count
//   dbtool dump TABLE      records as CSV (a header line, then one line per record)
//   dbtool demo DIR        creates a small demo table DIR/demo.adt
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "csv.h"
#include "engine.h"

namespace {

std::string LastError() {
  uint32_t code = 0;
  char text[600];
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  return std::to_string(code) + ": " + text;
}

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "dbtool: %s\n", what.c_str());
  std::exit(1);
}

void Check(ENGRESULT rc, const char* what) {
  if (rc != ENG_OK) Die(std::string(what) + " failed: " + LastError());
}

const char* TypeName(uint16_t t) {
  static const char* names[] = {"?",      "Logical",   "Numeric", "Date",    "Char",      "Memo",
                                "Binary", "Image",     "Varchar", "CompactDate", "Double", "Integer",
                                "ShortInt", "Time",    "TimeStamp", "AutoInc", "Raw",     "CurDouble"};
  return t < 18 ? names[t] : "?";
}

struct Opened {
  ENGHANDLE conn = 0, table = 0;
};

Opened OpenTable(const std::string& path) {
  std::string dir = ".", name = path;
  size_t slash = path.rfind('/');
  if (slash != std::string::npos) {
    dir = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
  Opened o;
  Check(EngConnect(dir.c_str(), &o.conn), "connect");
  Check(EngOpenTable(o.conn, name.c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI, ENG_LOCK_PROPRIETARY,
                     ENG_IGNORE_RIGHTS, ENG_OPEN_READONLY, &o.table),
        "open");
  return o;
}

std::string FieldName(ENGHANDLE t, uint16_t f) {
  char name[200];
  uint16_t len = sizeof name;
  Check(EngGetFieldName(t, f, name, &len), "field name");
  return name;
}

int Info(const std::string& path) {
  Opened o = OpenTable(path);
  uint16_t n = 0;
  uint32_t count = 0, reclen = 0;
  Check(EngGetNumFields(o.table, &n), "field count");
  Check(EngGetRecordCount(o.table, ENG_IGNOREFILTERS, &count), "record count");
  Check(EngGetRecordLength(o.table, &reclen), "record length");
  std::printf("table   %s\nrecords %u\nlength  %u bytes per record\nfields  %u\n", path.c_str(), count, reclen, n);
  for (uint16_t f = 1; f <= n; ++f) {
    uint16_t type = 0, dec = 0;
    uint32_t len = 0;
    EngGetFieldType(o.table, f, &type);
    EngGetFieldLength(o.table, f, &len);
    EngGetFieldDecimals(o.table, f, &dec);
    std::printf("  %3u  %-30s %-11s %6u", f, FieldName(o.table, f).c_str(), TypeName(type), len);
    if (type == ENG_NUMERIC) std::printf(",%u", dec);
    std::printf("\n");
  }
  EngDisconnect(o.conn);
  return 0;
}

int Dump(const std::string& path) {
  Opened o = OpenTable(path);
  uint16_t n = 0;
  Check(EngGetNumFields(o.table, &n), "field count");
  std::vector<uint16_t> types(n + 1);
  for (uint16_t f = 1; f <= n; ++f) {
    EngGetFieldType(o.table, f, &types[f]);
    std::printf("%s%s", f > 1 ? "," : "", dbu::CsvField(FieldName(o.table, f)).c_str());
  }
  std::printf("\n");
  std::vector<uint8_t> buf(1 << 16);
  Check(EngGotoTop(o.table), "go to top");
  uint16_t eof = 0;
  while (EngAtEOF(o.table, &eof) == ENG_OK && !eof) {
    for (uint16_t f = 1; f <= n; ++f) {
      uint16_t empty = 0;
      EngIsEmpty(o.table, f, &empty);
      std::string v;
      if (!empty) {
        uint32_t len = 0;
        if (types[f] >= ENG_MEMO && types[f] <= ENG_VARCHAR) EngGetMemoLength(o.table, f, &len);
        if (len + 1 > buf.size()) buf.resize(len + 1);
        len = static_cast<uint32_t>(buf.size());
        Check(EngGetField(o.table, f, buf.data(), &len), "read field");
        v.assign(reinterpret_cast<char*>(buf.data()), len);
        if (types[f] == ENG_STRING) v.erase(v.find_last_not_of(' ') + 1);
        if (types[f] == ENG_NUMERIC) v.erase(0, v.find_first_not_of(' '));
        if ((types[f] == ENG_DATE || types[f] == ENG_COMPACTDATE) && v.size() == 8)
          v = v.substr(0, 4) + "-" + v.substr(4, 2) + "-" + v.substr(6, 2);
      }
      std::printf("%s%s", f > 1 ? "," : "", dbu::CsvField(v).c_str());
    }
    std::printf("\n");
    Check(EngSkip(o.table, 1), "skip");
  }
  EngDisconnect(o.conn);
  return 0;
}

int Demo(const std::string& dir) {
  ENGHANDLE conn = 0, t = 0;
  Check(EngConnect(dir.c_str(), &conn), "connect");
  Check(EngCreateTable(conn, "demo", "EMP_NO,Char,8;EMP_NAME,Char,30;JOINED,Date;SALARY,CurDouble;ACTIVE,Logical", 0, &t),
        "create demo.adt");
  struct Row {
    const char *no, *name, *joined, *salary, *active;
  } rows[] = {{"0030", "Ana Lim", "20010312", "4200.50", "T"},
              {"1146", "Ben Okafor", "19990701", "5100", "T"},
              {"5311", "Chitra Rao", "20041228", "3875.25", "T"},
              {"6623", "Dieter Brandt", "20030919", "6020", "F"},
              {"S0319", "Eun-ji Park", "20050524", "2990.75", "T"}};
  for (const Row& r : rows) {
    Check(EngAppendRecord(t), "append");
    const char* values[] = {r.no, r.name, r.joined, r.salary, r.active};
    for (uint16_t f = 1; f <= 5; ++f)
      Check(EngSetField(t, f, reinterpret_cast<const uint8_t*>(values[f - 1]), static_cast<uint32_t>(std::strlen(values[f - 1]))),
            "set field");
    Check(EngWriteRecord(t), "write");
  }
  EngDisconnect(conn);
  std::printf("created %s/demo.adt with %zu records\n", dir.c_str(), sizeof rows / sizeof rows[0]);
  return 0;
}

void Usage() {
  std::fprintf(stderr,
               "usage: dbtool info TABLE   show fields and record count\n"
               "       dbtool dump TABLE   print the records as CSV\n"
               "       dbtool demo DIR     create DIR/demo.adt, a small demo table\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h"))) {
    Usage();
    return 0;
  }
  if (argc != 3) {
    Usage();
    return 2;
  }
  std::string cmd = argv[1];
  if (cmd == "info") return Info(argv[2]);
  if (cmd == "dump") return Dump(argv[2]);
  if (cmd == "demo") return Demo(argv[2]);
  Usage();
  return 2;
}
