// The methods of the built-in name Math.
#include "builtins/method_table.h"

namespace kova {

// No method is in place yet: every name is refused with the table's error.
const MethodTable MATH_METHODS = {nullptr, 0, 2115, "Mathのメソッド名不正", 0, 2120, 2120, "引数の個数不正"};

}  // namespace kova
