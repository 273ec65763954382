// The methods of arrays and keyed arrays. Both kinds share one list of
// names; a keyed array has a form of only some of them.
#include "builtins/method_table.h"

namespace kova {

// No method is in place yet: every name is refused with the table's error.
const MethodTable ARRAY_METHODS = {nullptr, 0, 2570, "Arrayのメソッド名不正", 0, 2575, 2580, "引数の個数不正"};
const MethodTable KEYED_METHODS = {nullptr, 0, 2552, "Arrayのメソッド名不正", 2565, 2555, 2560, "引数の個数不正"};

}  // namespace kova
