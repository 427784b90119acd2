/* The C floor of a bulk insert: rows read into memory first, then inserted with one prepared statement in
 * one transaction, each value bound by its column's type. Prints the CPU seconds of the inserts alone.
 *
 *     floor DB TABLE TYPES ROWS.tsv      TYPES: one letter per column, i (integer), r (real), t (text)
 *
 * The prototypes are SQLite's stable C API, declared here so that no header is needed: it links against
 * the libsqlite3.so.0 that the sqlite3 module loads. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef struct sqlite3 sqlite3;
typedef struct sqlite3_stmt sqlite3_stmt;
int sqlite3_open(const char*, sqlite3**);
int sqlite3_exec(sqlite3*, const char*, void*, void*, char**);
int sqlite3_prepare_v2(sqlite3*, const char*, int, sqlite3_stmt**, const char**);
int sqlite3_bind_int64(sqlite3_stmt*, int, long long);
int sqlite3_bind_double(sqlite3_stmt*, int, double);
int sqlite3_bind_text(sqlite3_stmt*, int, const char*, int, void (*)(void*));
int sqlite3_bind_null(sqlite3_stmt*, int);
int sqlite3_step(sqlite3_stmt*);
int sqlite3_reset(sqlite3_stmt*);
int sqlite3_finalize(sqlite3_stmt*);
int sqlite3_close(sqlite3*);
const char* sqlite3_errmsg(sqlite3*);

static double cpu(void) {
    struct timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static void fail(sqlite3* db, const char* what) {
    fprintf(stderr, "floor: %s: %s\n", what, sqlite3_errmsg(db));
    exit(1);
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: floor DB TABLE TYPES ROWS.tsv\n");
        return 2;
    }
    const char* types = argv[3];
    const int width = (int)strlen(types);
    FILE* f = fopen(argv[4], "rb");
    if (f == NULL) { perror(argv[4]); return 1; }
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    char* data = malloc((size_t)size + 1);
    if (data == NULL || fread(data, 1, (size_t)size, f) != (size_t)size) { perror("read"); return 1; }
    data[size] = 0;
    fclose(f);
    /* every field parsed before the clock starts: numbers to numbers, texts in place */
    long rows = 0;
    for (long i = 0; i < size; ++i) rows += data[i] == '\n';
    typedef union { long long i; double r; struct { const char* p; int n; } t; } Field;
    Field* fields = malloc(sizeof(Field) * (size_t)(rows * width + 1));
    char* p = data;
    for (long r = 0; r < rows; ++r)
        for (int c = 0; c < width; ++c) {
            char* end = p + strcspn(p, c + 1 < width ? "\t" : "\n");
            Field* v = &fields[r * width + c];
            if (types[c] == 'i') v->i = strtoll(p, NULL, 10);
            else if (types[c] == 'r') v->r = strtod(p, NULL);
            else { v->t.p = p; v->t.n = (int)(end - p); }
            p = end + 1;
        }
    sqlite3* db;
    if (sqlite3_open(argv[1], &db) != 0) fail(db, "open");
    char sql[4096];
    int n = snprintf(sql, sizeof sql, "INSERT INTO %s VALUES (", argv[2]);
    for (int c = 0; c < width; ++c) n += snprintf(sql + n, sizeof sql - (size_t)n, c ? ",?" : "?");
    snprintf(sql + n, sizeof sql - (size_t)n, ")");
    const double start = cpu();
    if (sqlite3_exec(db, "BEGIN", NULL, NULL, NULL) != 0) fail(db, "begin");
    sqlite3_stmt* st;
    if (sqlite3_prepare_v2(db, sql, -1, &st, NULL) != 0) fail(db, "prepare");
    for (long r = 0; r < rows; ++r) {
        for (int c = 0; c < width; ++c) {
            const Field* v = &fields[r * width + c];
            if (types[c] == 'i') sqlite3_bind_int64(st, c + 1, v->i);
            else if (types[c] == 'r') sqlite3_bind_double(st, c + 1, v->r);
            else sqlite3_bind_text(st, c + 1, v->t.p, v->t.n, NULL);
        }
        if (sqlite3_step(st) != 101) fail(db, "insert");
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    if (sqlite3_exec(db, "COMMIT", NULL, NULL, NULL) != 0) fail(db, "commit");
    printf("%.3f\n", cpu() - start);
    sqlite3_close(db);
    free(fields);
    free(data);
    return 0;
}
