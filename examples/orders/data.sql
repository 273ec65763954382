-- Example data for the orders application.
create table orders (
    id int4 primary key,
    customer varchar(40) not null,
    item varchar(80) not null,
    quantity int4 not null,
    price float4 not null
);
insert into orders values
    (1, 'alice', 'pencil', 12, 0.5),
    (2, 'alice', 'notebook', 3, 2.25),
    (3, 'bob', 'stapler', 1, 7.0),
    (4, 'alice', 'eraser', 5, 0.75);
