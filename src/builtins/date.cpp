// The methods of the built-in name Date (Date.now and the like) and of Date values.
#include "builtins/method_table.h"

namespace kova {

// No method is in place yet: every name is refused with the table's error.
const MethodTable DATE_STATIC_METHODS = {nullptr, 0, 2085, "DATEのメソッド名不正", 0, 2090, 2093, "引数の個数不正"};
const MethodTable DATE_METHODS = {nullptr, 0, 5575, "DATEのメソッド名不正", 0, 5580, 5585, "DATEのメソッドで引数不正"};

}  // namespace kova
