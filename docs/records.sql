-- The shared store of Lumaflash station records (PostgreSQL 15 or later).
-- Load it once into an empty database as a superuser or the database's owner:
--   createdb lumaflash
--   psql -v ON_ERROR_STOP=1 -d lumaflash -f docs/records.sql
-- then give the two roles their passwords (psql asks for them; they never show in a process list):
--   psql -d lumaflash -c '\password lumaflash_station'
--   psql -d lumaflash -c '\password lumaflash_reader'
-- Stations log in as lumaflash_station: they can add records and read the schema version, but
-- never change or remove a record (records are append-only). Reports log in as lumaflash_reader.

BEGIN;

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
-- Indexes for the questions (summaries, images, results).
-- A unit's attempts in time order, with what a summary reads of each, so that a summary reads
-- the index alone; a listing by image path or by result; the newest receipt (change counter).
CREATE INDEX IF NOT EXISTS records_unit ON records (serial, started_at)
  INCLUDE (result, failed_block, station, device_id, device_name, image_sha256);
CREATE INDEX IF NOT EXISTS records_image_path ON records (image_path, started_at);
CREATE INDEX IF NOT EXISTS records_result ON records (result, started_at);
CREATE INDEX IF NOT EXISTS records_received_at ON records (received_at);

-- Roles are shared by every database of the server: made only where missing, so that a second
-- factory database on the same server can load this file too.
DO $$
BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'lumaflash_station') THEN
    CREATE ROLE lumaflash_station LOGIN;
  END IF;
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'lumaflash_reader') THEN
    CREATE ROLE lumaflash_reader LOGIN;
  END IF;
END
$$;

REVOKE ALL ON lumaflash_schema, records FROM PUBLIC;
GRANT USAGE ON SCHEMA public TO lumaflash_station, lumaflash_reader;

-- INSERT ... ON CONFLICT (id) DO NOTHING reads the conflict target, so the station needs SELECT
-- on that one column, and on nothing else of a record.
GRANT INSERT ON records TO lumaflash_station;
GRANT SELECT (id) ON records TO lumaflash_station;
GRANT SELECT ON lumaflash_schema TO lumaflash_station;

GRANT SELECT ON records, lumaflash_schema TO lumaflash_reader;

COMMIT;
