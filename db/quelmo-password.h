/* quelmo-password: the two fixed pieces of the database password, defined once for the
 * store, which builds every password from them, and so for quelmo.admin, which opens the
 * databases only through the store. A server's password is its identifier, then the text,
 * then the number in decimal. Changing either piece makes every existing database unreadable. */
#ifndef QUELMO_PASSWORD_H
#define QUELMO_PASSWORD_H

/* Exactly 7 characters. */
#define QUELMO_DB_PASSWORD_TEXT "vQm7Lpe"
/* Exactly 4 decimal digits. */
#define QUELMO_DB_PASSWORD_NUMBER 4826

static_assert(sizeof(QUELMO_DB_PASSWORD_TEXT) == 7 + 1, "the password text has 7 characters");
static_assert(QUELMO_DB_PASSWORD_NUMBER >= 1000 && QUELMO_DB_PASSWORD_NUMBER <= 9999,
              "the password number has 4 digits");

#endif
