// The methods of regular-expression values.
#include "builtins/method_table.h"

namespace kova {

// No method is in place yet: every name is refused with the table's error.
const MethodTable REGEXP_METHODS = {nullptr, 0, 5070, "正規表現のメソッド名不正", 0, 5075, 5075, "引数の個数不正"};

}  // namespace kova
