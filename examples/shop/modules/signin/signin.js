// Sign-in: checks a user's password. Requests to this installation need no
// token, so it holds nothing else, and its database role may only call
// signin_ok(). signin.cgi issues the session's first token when this run
// ends normally without sending anything.
// The request's S record gives `user` and `password`; KOVA.config gives
// `signin_db_params`.
function signin() {
    if (user == "" || password == "") throw "Enter your user name and password.";
    var db = openDb("postgresql", "libpq.so.5", signin_db_params);
    var known = selectExists(db, "select 1 where signin_ok(:user, :password)");
    closeDb(db);
    if (!known) throw "Unknown user or wrong password.";
}
