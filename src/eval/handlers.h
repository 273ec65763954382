// Every node handler, by the file that holds it. The dispatch table
// (dispatch.cpp) is filled from these.
#pragma once

#include "core/value.h"

namespace kova {

// dispatch.cpp
Value eval_empty(Value node);          // 100, 140, 146
Value eval_conditional(Value node);    // 139
Value eval_group(Value node);          // 159
Value eval_reserved(Value node);       // 190, 195-228: 1860
Value eval_not_built(Value node);      // statements whose subsystem is still to come

// operators.cpp, arithmetic.cpp, comparison.cpp, access.cpp (operators)
Value eval_increment(Value node);      // 101-104
Value eval_typeof(Value node);         // 105
Value eval_instanceof(Value node);     // 106
Value eval_not(Value node);            // 107
Value eval_logical_and(Value node);    // 108
Value eval_logical_or(Value node);     // 109
Value eval_compare(Value node);        // 110, 112, 114-117
Value eval_strict_equal(Value node);   // 111, 113
Value eval_add(Value node);            // 118
Value eval_arithmetic(Value node);     // 119-122, 161
Value eval_assign(Value node);         // 123
Value eval_add_assign(Value node);     // 124
Value eval_arithmetic_assign(Value node);  // 125-128
Value eval_bitwise_assign(Value node); // 129-131
Value eval_bitwise(Value node);        // 132-134
Value eval_bit_not(Value node);        // 135
Value eval_shift(Value node);          // 136-138
Value eval_index(Value node);          // 144
Value eval_member(Value node);         // 145

// scopes.cpp
Value eval_var(Value node);            // 141
Value eval_let_const(Value node);      // 142, 143
Value eval_block(Value node);          // 155

// control.cpp
Value eval_if(Value node);             // 147
Value eval_while(Value node);          // 148
Value eval_do_while(Value node);       // 149
Value eval_for(Value node);            // 150
Value eval_for_each(Value node);       // 151, 152
Value eval_try(Value node);            // 153
Value eval_throw(Value node);          // 154
Value eval_break(Value node);          // 156
Value eval_continue(Value node);       // 157
Value eval_return(Value node);         // 158
Value eval_switch(Value node);         // 170
Value eval_error_value(Value node);    // 184, 188

// calls.cpp, constructors.cpp, eval_text.cpp (calls)
Value eval_call(Value node);           // 160
Value eval_new(Value node);            // 183
Value eval_string_conversion(Value node);  // 172
Value eval_integer(Value node);        // 186
Value eval_float(Value node);          // 187
Value eval_array(Value node);          // 189
Value eval_eval(Value node);           // 179

// regex/regexp_object.cpp
Value eval_regexp(Value node);         // 182

// builtins/date.cpp
Value eval_date(Value node);           // 185

// builtins/number.cpp, builtins/uri.cpp (built-in statements)
Value eval_number_conversion(Value node);     // 171
Value eval_decode_uri(Value node);            // 173
Value eval_decode_uri_component(Value node);  // 174
Value eval_encode_uri(Value node);            // 175
Value eval_encode_uri_component(Value node);  // 176
Value eval_parse_float(Value node);           // 177
Value eval_parse_int(Value node);             // 178

// front/frames.cpp
Value eval_send_to_front(Value node);  // 169
Value eval_alert_to_front(Value node); // 191

// db/ (database statements)
Value eval_select(Value node);                // 162
Value eval_select_hash(Value node);           // 163
Value eval_select_to_front(Value node);       // 164
Value eval_select_hash_to_front(Value node);  // 165
Value eval_execute(Value node);               // 166
Value eval_open_db(Value node);               // 167
Value eval_select_exists(Value node);         // 168
Value eval_close_db(Value node);              // 180
Value eval_select_into(Value node);           // 181
Value eval_record_map(Value node);            // 192
Value eval_record_hash(Value node);           // 193
Value eval_sql_aggregate(Value node);         // 194

}  // namespace kova
