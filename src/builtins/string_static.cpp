// The methods of the built-in name String (String.fromCharCode and the like).
#include "builtins/method_table.h"

namespace kova {

// No method is in place yet: every name is refused with the table's error.
const MethodTable STRING_STATIC_METHODS = {nullptr, 0, 2095, "STRINGのメソッド名不正", 0, 2097, 2098, "引数の個数不正"};

}  // namespace kova
