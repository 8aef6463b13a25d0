// The teeth members' own small JSON reader: the bank sidecar, the head
// config, the manifest's teeth and compose blocks and the lip template. It
// is deliberately lenient where the members' writers are (literals matched
// as prefixes, unterminated strings accepted) and names every failure.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace le::tessera::json {

struct JMember;

struct JVal {
  enum Type { kNull = 0, kBool = 1, kNumber = 2, kString = 3, kArray = 4, kObject = 5 };
  int type = kNull;
  bool b = false;
  double num = 0.0;
  std::string str;
  std::vector<JVal> arr;
  std::vector<JMember> obj;  // stored order, duplicates kept

  bool isNum() const { return type == kNumber; }
  bool isStr() const { return type == kString; }
  bool isArr() const { return type == kArray; }
  bool isObj() const { return type == kObject; }
  // First member named `key`; null when absent or when this is not an object.
  const JVal* get(const std::string& key) const;
};

struct JMember {
  std::string key;
  JVal value;
};

// Parses one value from a byte range; what follows it is not read. Throws
// "teeth: ..." texts on malformed input.
class JParser {
 public:
  JParser(const char* p, size_t n) : p_(p), n_(n) {}
  JVal parse();

 private:
  void blanks();
  bool more() const { return i_ < n_; }
  bool literal(const char* word);
  JVal value(int depth);
  JVal object(int depth);
  JVal array(int depth);
  std::string string();
  double number();

  const char* p_;
  size_t n_;
  size_t i_ = 0;
};

// The whole text as one value; failures become
// "teeth: <path> is not readable JSON: <message>".
JVal parseJson(const std::string& text, const std::string& path);
// A numeric member, else "teeth: <context> lacks numeric '<key>'".
double reqNum(const JVal& object, const std::string& key, const std::string& context);
// The member named `key`, else "teeth: member JSON lacks key '<key>'".
const JVal& required(const JVal& object, const char* key);
// The same for a member that must also be a number.
double requiredNumber(const JVal& object, const char* key);
// A number as a message prints it: integers without decimals, else %g.
std::string numberText(double v);
// A string member, else `fallback`.
std::string optStr(const JVal& object, const std::string& key, const std::string& fallback);

}  // namespace le::tessera::json
