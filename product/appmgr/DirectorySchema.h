// The tables of a directory database (schema version tqappmgr::kSchemaVersion).
#pragma once

namespace tqappmgr {

// The tables, in the SQL both stores accept. Ids are signed 64-bit: SQLite's
// INTEGER is, and the PostgreSQL back end writes BIGINT for it. Lists keep
// their order in a `position` column; readers sort by it.
constexpr char kTablesSql[] = R"sql(
CREATE TABLE cells (
    id     INTEGER PRIMARY KEY CHECK (id <> 0),  -- 0 means "any cell" in lookups
    number INTEGER NOT NULL DEFAULT 0            -- 0: the cell has no number
);
CREATE TABLE clients (
    id      INTEGER PRIMARY KEY,
    cell_id INTEGER NOT NULL REFERENCES cells(id),
    host    TEXT NOT NULL DEFAULT ''             -- "name[:port]"
);
CREATE TABLE applications (
    id        INTEGER PRIMARY KEY,
    cell_id   INTEGER NOT NULL REFERENCES cells(id),
    client_id INTEGER NOT NULL REFERENCES clients(id),
    app_type  INTEGER NOT NULL
);
CREATE TABLE clouds (
    id   INTEGER PRIMARY KEY,
    name TEXT NOT NULL
);
CREATE TABLE cloud_members (
    cloud_id   INTEGER NOT NULL REFERENCES clouds(id),
    client_id  INTEGER NOT NULL REFERENCES clients(id),
    properties INTEGER NOT NULL DEFAULT 0,       -- bit 0: the cloud's CI server
    position   INTEGER NOT NULL,
    PRIMARY KEY (cloud_id, position),
    UNIQUE (cloud_id, client_id)
);
CREATE TABLE client_engines (
    client_id INTEGER NOT NULL REFERENCES clients(id),
    app_type  INTEGER NOT NULL,
    position  INTEGER NOT NULL,
    cloud_id  INTEGER NOT NULL REFERENCES clouds(id),
    PRIMARY KEY (client_id, app_type, position)
);
CREATE TABLE application_engines (
    application_id INTEGER NOT NULL REFERENCES applications(id),
    position       INTEGER NOT NULL,
    cloud_id       INTEGER NOT NULL REFERENCES clouds(id),
    PRIMARY KEY (application_id, position)
);
)sql";

// An application lives in the cell of its client: moving a client moves its
// applications, and an application cannot name another cell.
constexpr char kSqliteTriggersSql[] = R"sql(
CREATE TRIGGER application_cell_on_insert BEFORE INSERT ON applications
WHEN EXISTS (SELECT 1 FROM clients WHERE id = NEW.client_id AND cell_id <> NEW.cell_id)
BEGIN SELECT RAISE(ABORT, 'an application must be in the cell of its client'); END;
CREATE TRIGGER application_cell_on_update BEFORE UPDATE OF cell_id, client_id ON applications
WHEN EXISTS (SELECT 1 FROM clients WHERE id = NEW.client_id AND cell_id <> NEW.cell_id)
BEGIN SELECT RAISE(ABORT, 'an application must be in the cell of its client'); END;
CREATE TRIGGER client_cell_moves_applications AFTER UPDATE OF cell_id ON clients
BEGIN UPDATE applications SET cell_id = NEW.cell_id WHERE client_id = NEW.id; END;
)sql";

// The same rules on PostgreSQL, its version mark (SQLite keeps it in PRAGMA
// user_version), and a notification on channel kChangeChannel at the commit
// of every change of a directory table, which tells readers on any machine
// to forget what they remembered.
constexpr char kChangeChannel[] = "tq_directory_changed";
constexpr char kPostgresExtrasSql[] = R"sql(
CREATE TABLE directory_schema (version INTEGER NOT NULL);
CREATE FUNCTION application_in_client_cell() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    IF EXISTS (SELECT 1 FROM clients WHERE id = NEW.client_id AND cell_id <> NEW.cell_id) THEN
        RAISE EXCEPTION 'an application must be in the cell of its client';
    END IF;
    RETURN NEW;
END $$;
CREATE TRIGGER application_cell BEFORE INSERT OR UPDATE OF cell_id, client_id ON applications
FOR EACH ROW EXECUTE FUNCTION application_in_client_cell();
CREATE FUNCTION client_cell_moves_applications() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    UPDATE applications SET cell_id = NEW.cell_id WHERE client_id = NEW.id;
    RETURN NULL;
END $$;
CREATE TRIGGER client_cell_moves_applications AFTER UPDATE OF cell_id ON clients
FOR EACH ROW EXECUTE FUNCTION client_cell_moves_applications();
CREATE FUNCTION directory_changed() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('tq_directory_changed', '');
    RETURN NULL;
END $$;
DO $$
DECLARE name text;
BEGIN
    FOREACH name IN ARRAY ARRAY['cells', 'clients', 'applications', 'clouds', 'cloud_members',
                                'client_engines', 'application_engines'] LOOP
        EXECUTE format('CREATE TRIGGER %I AFTER INSERT OR UPDATE OR DELETE OR TRUNCATE ON %I'
                       ' FOR EACH STATEMENT EXECUTE FUNCTION directory_changed()',
                       name || '_changed', name);
    END LOOP;
END $$;
)sql";

}  // namespace tqappmgr
