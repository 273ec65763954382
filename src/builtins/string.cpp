// The methods of string values.
#include "builtins/method_table.h"

namespace kova {

// No method is in place yet: every name is refused with the table's error.
const MethodTable STRING_METHODS = {nullptr, 0, 2820, "Stringのメソッド名不正", 0, 2825, 2830, "引数の個数不正"};

}  // namespace kova
