// The shop: products, and the orders of one customer. Every request to
// this installation carries the token of the previous answer.
// KOVA.config gives `db_params`.
function shopDb() {
    return openDb("postgresql", "libpq.so.5", db_params);
}

function sendProducts(db) {
    selectHashToFront(db, "products", "select id, name, price, stock from products order by id");
}

function sendOrders(db) {
    selectToFront(db, "orders",
        "select o.id, p.name, o.quantity, (o.quantity * p.price)::float4, to_char(o.placed, 'YYYY-MM-DD HH24:MI') " +
        "from orders o join products p on p.id = o.product where o.customer = :customer order by o.id");
}

// The first answer of a session (signin.cgi runs it after the sign-in).
function start() {
    var db = shopDb();
    sendProducts(db);
    closeDb(db);
}

// The request's S record gives `customer`.
function orders() {
    var db = shopDb();
    sendOrders(db);
    closeDb(db);
}

// The request gives `customer` (S), `product` and `quantity` (I). A thrown
// text reaches the front end as the error frame's message.
function placeOrder() {
    if (customer == "") throw "Enter the customer's name.";
    if (quantity < 1) throw "The quantity must be at least 1.";
    var db = shopDb();
    var found = select(db, "select name, stock from products where id = :product::int4");
    if (found.length == 0) throw "There is no such product.";
    var name = found[0][0];
    var stock = found[0][1];
    if (quantity > stock) throw "Only " + stock + " of " + name + " left in stock.";
    execute(db, "insert into orders (customer, product, quantity) values (:customer, :product::int4, :quantity::int4)");
    execute(db, "update products set stock = stock - :quantity::int4 where id = :product::int4");
    closeDb(db, "commit");
    alertToFront("Order placed: " + quantity + " × " + name + " for " + customer + ".");
    db = shopDb();
    sendProducts(db);
    sendOrders(db);
    closeDb(db);
}
