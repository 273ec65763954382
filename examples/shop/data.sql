-- Example data for the shop: products, orders, and the users who may sign in.
create table products (
    id int4 primary key,
    name varchar(80) not null,
    price float4 not null,
    stock int4 not null
);
insert into products values
    (1, 'pencil', 0.5, 40),
    (2, 'notebook', 2.25, 12),
    (3, 'stapler', 7.0, 3),
    (4, 'eraser', 0.75, 25);

create table orders (
    id serial primary key,
    customer varchar(80) not null,
    product int4 not null references products,
    quantity int4 not null,
    placed timestamp(0) not null default localtimestamp
);

-- A password is kept as the SHA-256 of a salt and the password.
create table users (
    name varchar(40) primary key,
    salt text not null,
    hash text not null
);
insert into users values
    ('demo', 'b41f', encode(sha256(convert_to('b41f' || 'demo-password', 'UTF8')), 'hex'));

create function signin_ok(who text, password text) returns boolean
    language sql security definer set search_path = public
    as $$ select exists (select 1 from users
                         where name = who and hash = encode(sha256(convert_to(salt || password, 'UTF8')), 'hex')) $$;
revoke all on function signin_ok(text, text) from public;

-- The sign-in installation answers requests that carry no token: its role
-- may call signin_ok() and nothing else.
create role shop_signin login password 'signin-secret';
grant execute on function signin_ok(text, text) to shop_signin;
