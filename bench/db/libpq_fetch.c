/* The baseline of the database benchmark: the benchmark query fetched with
 * libpq alone, every column of every row read, the given number of times
 * on one connection. Prints the number of cells read.
 *
 *   libpq_fetch "host=... port=... dbname=... user=... password=..." QUERY COUNT
 */
#include <libpq-fe.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s CONNINFO QUERY COUNT\n", argv[0]);
        return 2;
    }
    PGconn* connection = PQconnectdb(argv[1]);
    if (PQstatus(connection) != CONNECTION_OK) {
        fprintf(stderr, "%s", PQerrorMessage(connection));
        return 1;
    }
    PQclear(PQexec(connection, "BEGIN"));
    const int count = atoi(argv[3]);
    long cells = 0;
    long bytes = 0;
    for (int run = 0; run < count; ++run) {
        PGresult* result = PQexec(connection, argv[2]);
        if (PQresultStatus(result) != PGRES_TUPLES_OK) {
            fprintf(stderr, "%s", PQerrorMessage(connection));
            return 1;
        }
        const int rows = PQntuples(result);
        const int columns = PQnfields(result);
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < columns; ++c) {
                if (!PQgetisnull(result, r, c)) bytes += PQgetlength(result, r, c) + PQgetvalue(result, r, c)[0];
                ++cells;
            }
        }
        PQclear(result);
    }
    PQclear(PQexec(connection, "ROLLBACK"));
    PQfinish(connection);
    printf("%ld %ld\n", cells, bytes);
    return 0;
}
