// dbfindex SOURCE.dbf TARGET.dbf TAG=EXPRESSION[@FILTER]...: creates TARGET
// empty, with the fields and memo kind of SOURCE and a production index of
// the given tags. Sites get their templates from their own xBase programs;
// this makes such a template where only a plain table exists (tests, the
// crash test). Exits 1 when the target can't be made.
#include <cstdio>
#include <string>
#include <vector>

#include "dbf/CodeBase.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: dbfindex SOURCE.dbf TARGET.dbf TAG=EXPRESSION[@FILTER]...\n");
    return 2;
  }
  struct TTag {
    std::string Name, Expression, Filter;
  };
  std::vector<TTag> tags;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    if (eq == std::string::npos || eq == 0) {
      std::fprintf(stderr, "dbfindex: %s is not TAG=EXPRESSION\n", argv[i]);
      return 2;
    }
    const auto at = arg.find('@', eq);
    tags.push_back({arg.substr(0, eq), arg.substr(eq + 1, at == std::string::npos ? std::string::npos : at - eq - 1),
                    at == std::string::npos ? "" : arg.substr(at + 1)});
  }
  std::vector<TAG4INFO> info;
  for (const auto& t : tags) info.push_back({t.Name.c_str(), t.Expression.c_str(), t.Filter.c_str(), 0, 0});
  info.push_back({nullptr, nullptr, nullptr, 0, 0});

  CodeHandle code = code4initP();
  code4safety(code, 0);
  DbfHandle source = d4open(code, argv[1]);
  if (!source) {
    std::fprintf(stderr, "dbfindex: %s does not open\n", argv[1]);
    code4initUndoP(code);
    return 1;
  }
  FIELD4INFO* fields = d4fieldInfo(source);
  const bool made = d4create(code, argv[2], fields, info.data()) != nullptr;
  u4freeDefault(fields);
  code4close(code);
  code4initUndoP(code);
  if (!made) std::fprintf(stderr, "dbfindex: %s could not be created\n", argv[2]);
  return made ? 0 : 1;
}
