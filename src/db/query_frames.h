// The query frames: `selectToFront` sends a query's rows to the front end
// as one "Z" frame, `selectHashToFront` as one "Y" frame that also carries
// the column names.
#pragma once

#include <string>

#include "db/query.h"

namespace kova {

// Appends the whole frame of a query result: the letter, the column count
// and row count as number fields, the name item, for "Y" a text item per
// column name, then the column items row by row (SQL NULL as the empty text
// item, int4 as an integer item and float4 as a float item of the server's
// text, anything else as a text item). 4175 when a column name is missing.
void append_query_frame(std::string& out, bool keyed, const std::string& name_item, const QueryResult& query,
                        PgConnection* handle);

}  // namespace kova
