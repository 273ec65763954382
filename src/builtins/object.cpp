// Object.keys and the methods of object values.
#include "builtins/method_table.h"

namespace kova {

// No method is in place yet: every name is refused with the table's error.
const MethodTable OBJECT_STATIC_METHODS = {nullptr, 0, 2100, "OBJECTのメソッド名不正", 0, 2105, 2110, "引数の個数不正"};
const MethodTable OBJECT_METHODS = {nullptr, 0, 2347, "HASHのメソッド名不正", 0, 2450, 2455, "引数の個数不正"};

}  // namespace kova
