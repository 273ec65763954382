// The methods of the built-in name Number.
#include "builtins/method_table.h"

namespace kova {

// No method is in place yet: every name is refused with the table's error.
const MethodTable NUMBER_METHODS = {nullptr, 0, 2125, "NUMBERのメソッド名不正", 0, 2130, 2135, "引数の個数不正"};

}  // namespace kova
