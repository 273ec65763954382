// Orders of one customer, sent to the front end as a query frame.
// The request's S record gives `customer`; KOVA.config gives `db_params`.
function main() {
    var db = openDb("postgresql", "libpq.so.5", db_params);
    selectToFront(db, "orders", "select id, item, quantity, price from orders where customer = :customer order by id");
    var total = select(db, "select sum(quantity * price)::float4 from orders where customer = :customer");
    sendToFront("customer", customer);
    sendToFront("total", total[0][0]);
    console.log("orders listed for " + customer);
}
