-- A small shop: customers, products and their orders. Text with markup
-- characters and non-ASCII letters, numbers, dates, NULLs and a picture.
CREATE TABLE customers (
    id       INTEGER PRIMARY KEY,
    name     VARCHAR(60) NOT NULL,
    city     VARCHAR(40),
    country  CHAR(2),
    since    DATE,
    notes    TEXT
);
CREATE TABLE products (
    id       INTEGER PRIMARY KEY,
    title    VARCHAR(80) NOT NULL,
    price    DECIMAL(10,2) NOT NULL,
    weight   DOUBLE,
    icon     BLOB
);
CREATE TABLE orders (
    id          INTEGER PRIMARY KEY,
    customer_id INTEGER NOT NULL REFERENCES customers(id),
    product_id  INTEGER NOT NULL REFERENCES products(id),
    quantity    INTEGER NOT NULL,
    ordered_at  TIMESTAMP NOT NULL,
    shipped_at  TIMESTAMP
);
-- Empty: filled by bulk-insert.xml.
CREATE TABLE price_history (
    product_id  INTEGER NOT NULL REFERENCES products(id),
    price       DECIMAL(10,2) NOT NULL,
    noted_at    TIMESTAMP
);

INSERT INTO customers VALUES
    (1, 'Smith & Sons', 'Leeds', 'GB', '2019-03-14', 'Pays on time; prefers <email> contact'),
    (2, 'Müller GmbH', 'Köln', 'DE', '2020-11-02', NULL),
    (3, 'Åsa Lindqvist', 'Malmö', 'SE', '2021-06-30', 'Ships to a "pick-up" point'),
    (4, 'Café Olé', 'Lyon', 'FR', NULL, 'Prices in €'),
    (5, 'Ōkubo Trading', NULL, 'JP', '2023-01-09', NULL);

INSERT INTO products VALUES
    (1, 'Fountain pen', 24.50, 0.035, x'89504E470D0A1A0A0000000D49484452'),
    (2, 'Ink, blue (50 ml)', 6.95, 0.08, NULL),
    (3, 'Notebook A5 — dotted', 12.00, 0.25, x'47494638396101000100'),
    (4, 'Blotting paper', 3.20, NULL, NULL);

INSERT INTO orders VALUES
    (1, 1, 1, 2, '2024-02-29 13:45:07', '2024-03-01 09:00:00'),
    (2, 1, 2, 5, '2024-03-02 08:12:00', NULL),
    (3, 2, 3, 1, '2024-03-05 17:30:45', '2024-03-07 10:15:00'),
    (4, 3, 1, 1, '2024-04-11 11:11:11', NULL),
    (5, 4, 4, 10, '2024-05-20 06:05:00', '2024-05-21 12:00:00'),
    (6, 5, 3, 3, '2024-06-01 23:59:59', NULL);
