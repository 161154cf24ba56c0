-- The shared store of Lumaflash station records (PostgreSQL 15 or later), schema version 2.
-- Load it with psql as a superuser (it makes roles), into an empty database or into one that an
-- earlier version of this file made: it brings either to version 2 and may be loaded again.
--   createdb lumaflash
--   psql -v ON_ERROR_STOP=1 -d lumaflash -f docs/records.sql
-- then give the two roles their passwords (psql asks for them; they never show in a process list):
--   psql -d lumaflash -c '\password lumaflash_station'
--   psql -d lumaflash -c '\password lumaflash_reader'
-- The roles are named after the database (DATABASE_station, DATABASE_reader) and may use only
-- it: roles are shared by every database of a server, so a second factory's database on the same
-- server gets roles of its own, and neither factory's roles can connect to the other's database.
-- Stations log in as DATABASE_station: they add records and read the schema version, never read,
-- change or remove a record, and cannot write what the server itself fills in (received_at,
-- login). Reports log in as DATABASE_reader.

\set ON_ERROR_STOP on
BEGIN;

SELECT to_regclass('lumaflash_schema') IS NULL AS fresh,
       current_database() AS database,
       current_database() || '_station' AS station_role,
       current_database() || '_reader' AS reader_role \gset

\if :fresh
-- Version 1.
CREATE TABLE lumaflash_schema (version integer NOT NULL);
INSERT INTO lumaflash_schema (version) VALUES (1);

-- One row per update attempt, as the station recorded it. The id is made at the station, so a
-- record sent twice (after a lost acknowledgement) is still one row.
CREATE TABLE records (
  id uuid PRIMARY KEY,
  started_at timestamptz NOT NULL,
  ended_at timestamptz NOT NULL,
  station text NOT NULL,
  operator text NOT NULL,
  program_version text NOT NULL,
  port text NOT NULL,
  usb_vid text, usb_pid text, usb_serial text,
  device_id text, device_name text, bootloader_version text, firmware_version text, serial text,
  image_path text, image_sha256 text, image_header_version integer, image_length bigint,
  result text NOT NULL,
  status text,
  failed_block integer, block_count integer,
  duration_ms bigint NOT NULL,
  received_at timestamptz NOT NULL DEFAULT now()
);

-- The questions asked of the records: by unit, by USB serial, by image, by time, by station.
CREATE INDEX records_serial ON records (serial);
CREATE INDEX records_usb_serial ON records (usb_serial);
CREATE INDEX records_image_sha256 ON records (image_sha256);
CREATE INDEX records_started_at ON records (started_at);
CREATE INDEX records_station_started_at ON records (station, started_at);
\endif

SELECT max(version) > 2 AS newer, max(version) < 2 AS before_2
  FROM lumaflash_schema \gset
\if :newer
DO $$ BEGIN
  RAISE EXCEPTION 'this database has a newer Lumaflash schema than version 2: load the docs/records.sql of the Lumaflash that made it';
END $$;
\endif

\if :before_2
-- Version 1 to 2: the server notes which role wrote each row (null in rows written before).
ALTER TABLE records ADD COLUMN login text;
ALTER TABLE records ALTER COLUMN login SET DEFAULT session_user;
UPDATE lumaflash_schema SET version = 2;
\endif

-- What follows runs on a fresh load and on every migration alike.

-- Indexes for the questions (summaries, images, results).
-- A unit's attempts in time order, with what a summary reads of each, so that a summary reads
-- the index alone; a listing by image path or by result; the newest receipt (change counter).
CREATE INDEX IF NOT EXISTS records_unit ON records (serial, started_at)
  INCLUDE (result, failed_block, station, device_id, device_name, image_sha256);
CREATE INDEX IF NOT EXISTS records_image_path ON records (image_path, started_at);
CREATE INDEX IF NOT EXISTS records_result ON records (result, started_at);
CREATE INDEX IF NOT EXISTS records_received_at ON records (received_at);

-- The roles, made where missing.
SELECT NOT EXISTS (SELECT FROM pg_roles WHERE rolname = :'station_role') AS make_station,
       NOT EXISTS (SELECT FROM pg_roles WHERE rolname = :'reader_role') AS make_reader,
       :'database' <> 'lumaflash' AND EXISTS (SELECT FROM pg_roles WHERE rolname = 'lumaflash_station')
         AS shared_station,
       :'database' <> 'lumaflash' AND EXISTS (SELECT FROM pg_roles WHERE rolname = 'lumaflash_reader')
         AS shared_reader \gset
\if :make_station
CREATE ROLE :"station_role" LOGIN;
\endif
\if :make_reader
CREATE ROLE :"reader_role" LOGIN;
\endif
-- Version 1 granted the same two roles in every database of the server; they lose this one.
\if :shared_station
REVOKE ALL ON lumaflash_schema, records FROM lumaflash_station;
REVOKE ALL ON DATABASE :"database" FROM lumaflash_station;
\endif
\if :shared_reader
REVOKE ALL ON lumaflash_schema, records FROM lumaflash_reader;
REVOKE ALL ON DATABASE :"database" FROM lumaflash_reader;
\endif

-- Only the two roles (and the owner) may connect, and nobody makes temporary tables.
REVOKE CONNECT, TEMPORARY ON DATABASE :"database" FROM PUBLIC;
GRANT CONNECT ON DATABASE :"database" TO :"station_role", :"reader_role";
REVOKE ALL ON lumaflash_schema, records FROM PUBLIC;
REVOKE ALL ON lumaflash_schema, records FROM :"station_role", :"reader_role";
GRANT USAGE ON SCHEMA public TO :"station_role", :"reader_role";

-- A station inserts through this column list and nothing else: not received_at nor login, which
-- the server fills in, and it reads nothing of a record (its inserts say ON CONFLICT DO NOTHING
-- without naming a column, which needs no SELECT).
GRANT INSERT (id, started_at, ended_at, station, operator, program_version, port, usb_vid,
  usb_pid, usb_serial, device_id, device_name, bootloader_version, firmware_version, serial,
  image_path, image_sha256, image_header_version, image_length, result, status, failed_block,
  block_count, duration_ms) ON records TO :"station_role";
GRANT SELECT ON lumaflash_schema TO :"station_role";
GRANT SELECT ON records, lumaflash_schema TO :"reader_role";

-- A station that stalls cannot hold a lock for long, and a station that runs away cannot take
-- every connection of the server. Raise the limits for a line of more than 100 stations.
ALTER ROLE :"station_role" CONNECTION LIMIT 100;
ALTER ROLE :"station_role" IN DATABASE :"database" SET statement_timeout = '20s';
ALTER ROLE :"station_role" IN DATABASE :"database" SET lock_timeout = '10s';
ALTER ROLE :"station_role" IN DATABASE :"database" SET idle_in_transaction_session_timeout = '10s';
ALTER ROLE :"reader_role" CONNECTION LIMIT 20;
ALTER ROLE :"reader_role" IN DATABASE :"database" SET statement_timeout = '300s';
ALTER ROLE :"reader_role" IN DATABASE :"database" SET idle_in_transaction_session_timeout = '60s';

COMMIT;
