// The bodies of the module's callables, one group per subsystem source file. Each receives its
// arguments bound in parameter order (see the table in morvel.cpp).
#pragma once

#include "core.hpp"

namespace morvel {

using Args = PyObject* const*;

// db.cpp
Ref db_init(Args a);
Ref db_connection(Args a);
// catalog.cpp
Ref insert_index(Args a);
Ref drop_index(Args a);
Ref active_table_index(Args a);
Ref drop_table_index(Args a);
Ref insert_unique(Args a);
Ref drop_unique(Args a);
// table.cpp
Ref create_table(Args a);
Ref drop_table(Args a);
// load.cpp
Ref insert_temp(Args a);
Ref insert_main(Args a);
Ref delete_row_main(Args a);
Ref load(Args a);   // (conn, table, rows, comm, batch): the work of morvel.load
// merge.cpp
Ref temp_to_main(Args a);
Ref merge(Args a);  // (conn, table, comm, rebuild): the work of morvel.merge, as a plain tuple
// find.cpp
Ref find(Args a);
Ref check_newest_unique(Args a);
// query.cpp
Ref query(Args a);
// csv.cpp
Ref parse_csv(Args a);

}  // namespace morvel
