-- The demo database: `sqlite3 demo.sqlite < demo/demo.sql` (scripts/demo.sh does it).
-- Everything is generated here, so the demo needs no download.

BEGIN;

-- Users for the HTTP credential check. The check's statement binds the user
-- name to :s1 and the password to :s2 and returns the column user_id.
-- Passwords are stored in clear text, as the check compares them as given;
-- this is demo data only.
CREATE TABLE users (
    login    TEXT PRIMARY KEY,
    password TEXT NOT NULL,
    user_id  TEXT NOT NULL UNIQUE
);

INSERT INTO users (login, password, user_id) VALUES
    ('alice', 'wonderland', '1001'),
    ('bob',   'builder',    '1002'),
    ('carol', 'c4r0l!',     '1003'),
    ('dave',  '',           '1004');   -- an empty password is a password too

-- Some thousands more, so the check runs on a table of a realistic size:
-- user0001 / pass0001 -> 20001, ..., user5000 / pass5000 -> 25000.
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000)
INSERT INTO users (login, password, user_id)
SELECT printf('user%04d', i), printf('pass%04d', i), CAST(20000 + i AS TEXT) FROM n;

-- The tables of the default lookup statement (see the README), with a few rows.
-- yres: reservations; a row counts only once it has an arrival time.
CREATE TABLE xcms (
    xcms_id   INTEGER PRIMARY KEY,
    xcms_name TEXT
);
CREATE TABLE yrms (
    yrms_id        INTEGER PRIMARY KEY,
    yrms_shortdesc TEXT
);
CREATE TABLE ydet (
    ydet_id      INTEGER PRIMARY KEY,
    ydet_yrms_id INTEGER REFERENCES yrms (yrms_id)
);
CREATE TABLE xpdc (
    xpdc_id      INTEGER PRIMARY KEY,
    xpdc_xcms_id INTEGER REFERENCES xcms (xcms_id),
    xpdc_primary INTEGER NOT NULL DEFAULT 0,
    xpdc_phone   TEXT
);
CREATE TABLE yres (
    yres_id              INTEGER PRIMARY KEY,
    yres_xcms_id         INTEGER NOT NULL REFERENCES xcms (xcms_id),
    yres_current_ydet_id INTEGER NOT NULL REFERENCES ydet (ydet_id),
    yres_actarrtime      TEXT,
    yres_expdeptime      TEXT
);

INSERT INTO xcms (xcms_id, xcms_name) VALUES (1, 'Alice Liddell'), (2, 'Bob Builder'), (3, 'Carol Danvers');
INSERT INTO yrms (yrms_id, yrms_shortdesc) VALUES (1, 'Room 101'), (2, 'Suite 7'), (3, 'Room 12');
INSERT INTO ydet (ydet_id, ydet_yrms_id) VALUES (1, 1), (2, 2), (3, 3);
INSERT INTO xpdc (xpdc_id, xpdc_xcms_id, xpdc_primary, xpdc_phone) VALUES
    (1, 1, 1, '+1 555 0101'), (2, 1, 0, '+1 555 0102'), (3, 2, 1, '+1 555 0201');
INSERT INTO yres (yres_id, yres_xcms_id, yres_current_ydet_id, yres_actarrtime, yres_expdeptime) VALUES
    (1001, 1, 1, '2024-05-01 14:02:00', '2024-05-04 11:00:00'),
    (1002, 2, 2, '2024-05-02 09:30:00', '2024-05-03 10:00:00'),
    (1003, 3, 3, NULL,                  '2024-05-09 11:00:00');  -- not arrived yet: not found

COMMIT;
