// The bodies of the module's callables, one group per subsystem source file. Each takes its arguments
// bound in parameter order, borrowed, one parameter per name of its row in the table of morvel.cpp.
#pragma once

#include "core.hpp"

namespace morvel {

// db.cpp
Ref db_init(PyObject* self, PyObject* name, PyObject* address);
Ref db_connection(PyObject* self);
// catalog.cpp
Ref insert_index(PyObject* conn, PyObject* index, PyObject* comm);
Ref drop_index(PyObject* conn, PyObject* table, PyObject* name, PyObject* comm);
Ref active_table_index(PyObject* conn, PyObject* table, PyObject* comm);
Ref drop_table_index(PyObject* conn, PyObject* table, PyObject* comm);
Ref insert_unique(PyObject* conn, PyObject* table, PyObject* name, PyObject* cols, PyObject* cols_num, PyObject* comm);
Ref drop_unique(PyObject* conn, PyObject* table, PyObject* name, PyObject* comm);
// table.cpp
Ref create_table(PyObject* conn, PyObject* name, PyObject* cols, PyObject* index, PyObject* unique, PyObject* comm);
Ref drop_table(PyObject* conn, PyObject* table, PyObject* comm);
// load.cpp
Ref insert_temp(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm);
Ref insert_main(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm);
Ref delete_row_main(PyObject* conn, PyObject* table, PyObject* ids, PyObject* comm);
// The work of morvel.load.
Ref load(PyObject* conn, PyObject* table, PyObject* rows, PyObject* comm, PyObject* batch, PyObject* missing);
// merge.cpp
Ref temp_to_main(PyObject* conn, PyObject* table, PyObject* comm);
// The work of morvel.merge, as a plain tuple.
Ref merge(PyObject* conn, PyObject* table, PyObject* comm, PyObject* rebuild);
// find.cpp
Ref find(PyObject* conn, PyObject* select, PyObject* table, PyObject* conditions);
Ref check_newest_unique(PyObject* conn, PyObject* table, PyObject* rowid, PyObject* row, PyObject* uniques,
                        PyObject* cols, PyObject* total_select, PyObject* eqivalent_set);
// query.cpp
// each: None, or a callable given the answer part by part (then the number of rows is returned).
Ref query(PyObject* conn, PyObject* table, PyObject* where, PyObject* params, PyObject* columns,
          PyObject* order_by, PyObject* limit, PyObject* each);
// arrow_export.cpp
// query's answer as Arrow data: (the answer, its number of rows, its column names, their Arrow types).
Ref query_arrow(PyObject* conn, PyObject* table, PyObject* where, PyObject* params, PyObject* columns,
                PyObject* order_by, PyObject* limit);
// A capsule of an ArrowArrayStream over an answer of query_arrow (requested_schema is passed over).
Ref arrow_stream(PyObject* answer, PyObject* requested_schema);
// staging.cpp
// The work of morvel.index_staging.
Ref index_staging(PyObject* conn, PyObject* table, PyObject* on, PyObject* comm);
// csv.cpp
Ref parse_csv(PyObject* data, PyObject* pos, PyObject* line, PyObject* final, PyObject* delimiter,
              PyObject* convert, PyObject* shape, PyObject* limit);
Ref stage_csv(PyObject* conn, PyObject* table, PyObject* data, PyObject* pos, PyObject* line, PyObject* final,
              PyObject* delimiter, PyObject* convert, PyObject* shape, PyObject* limit);

}  // namespace morvel
