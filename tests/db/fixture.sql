-- The schema and rows the database script tests read. Tests that write do
-- so without committing (or in tables of their own), so every case finds
-- these rows as they are here.

CREATE TABLE items (
    id int4 PRIMARY KEY,
    name text,
    price numeric(10, 2),
    weight float4,
    stock int8,
    ratio float8
);
INSERT INTO items VALUES
    (1, 'apple', 1.20, 0.5, 100, 0.25),
    (2, 'pear', 2.50, 1.25, 5000000000, 0.5),
    (3, 'plum', NULL, NULL, NULL, NULL),
    (4, NULL, 9.99, 3, 7, 1);

-- Written by the tests, never committed.
CREATE TABLE notes (
    id serial PRIMARY KEY,
    body text NOT NULL,
    n int4 CHECK (n >= 0)
);

-- Rows for aggregation: ordered by region, then shop.
CREATE TABLE sales (
    seq int4 PRIMARY KEY,
    region text,
    shop text,
    product text,
    amount int4,
    cost float4,
    label text
);
INSERT INTO sales VALUES
    (1, 'east', 'x', 'tea', 3, 1.5, '10'),
    (2, 'east', 'y', 'tea', 4, 2.25, '2.5'),
    (3, 'east', 'x', 'cake', 5, NULL, NULL),
    (4, 'west', 'z', 'tea', 7, 0.5, 'n/a'),
    (5, 'west', 'x', 'cake', NULL, 4, '7');
