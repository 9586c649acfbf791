#include "sharedschema.h"

namespace SharedSchema {

namespace {

// Version 1 as it was made: a record is known by its local journal's id and its number there;
// each distinct set of 96 rows is held once, found by the SHA-256 of its JSON text. Times are
// UTC ISO 8601 text, which sorts as time does.
const char *const VersionOne[] = {
    "CREATE TABLE display_journal.rowsets (hash bytea PRIMARY KEY, rows text NOT NULL)",
    "CREATE TABLE display_journal.jobs (site text NOT NULL, journal text NOT NULL, record bigint "
    "NOT NULL, \"started\" TEXT NOT NULL, \"finished\" TEXT, \"program\" TEXT NOT NULL, \"job\" "
    "TEXT NOT NULL, \"port\" INTEGER NOT NULL, \"device\" TEXT NOT NULL, \"outcome\" TEXT, "
    "\"error\" TEXT, \"frames\" INTEGER NOT NULL DEFAULT 0, \"lights\" TEXT NOT NULL DEFAULT "
    "'ccccccccc', \"delay\" INTEGER, \"user\" TEXT, \"host\" TEXT, \"boards\" TEXT, "
    "\"unavailable\" TEXT, rowset bytea, PRIMARY KEY (journal, record))",
    // A site's records newest first, as the report reads them site by site: in the index's
    // order, so the server streams them rather than sorting a month of the fleet on disk.
    "CREATE INDEX jobs_by_site ON display_journal.jobs (site, started DESC)",
    "CREATE INDEX jobs_by_started ON display_journal.jobs (started)",
    // Each site's devices listed without reading their records: the check's first step.
    "CREATE INDEX jobs_by_device ON display_journal.jobs (site, port, device)",
};

// Version 2's functions. Each pins its search_path, so that nothing a caller creates can stand
// in for what they name; the helpers are the definer's alone.
const char *const IsoTime = R"(
CREATE OR REPLACE FUNCTION display_journal.iso_time(t text) RETURNS timestamptz
LANGUAGE plpgsql STABLE SET search_path = pg_catalog, pg_temp AS $fn$
BEGIN
  IF t IS NULL OR t !~ '^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d{1,3})?Z$' THEN
    RETURN NULL;
  END IF;
  RETURN t::timestamptz;
EXCEPTION WHEN others THEN
  RETURN NULL;
END $fn$)";

const char *const RecordProblem = R"(
CREATE OR REPLACE FUNCTION display_journal.record_problem(r jsonb) RETURNS text
LANGUAGE plpgsql STABLE SET search_path = pg_catalog, pg_temp AS $fn$
DECLARE
  kind text;
  started_at timestamptz;
  finished_at timestamptz;
  whole CONSTANT text := '^(0|[1-9][0-9]{0,15})$';
BEGIN
  IF jsonb_typeof(r) IS DISTINCT FROM 'object' THEN
    RETURN 'not an object';
  END IF;
  IF jsonb_typeof(r->'record') IS DISTINCT FROM 'number' OR (r->>'record') !~ whole
     OR (r->>'record')::bigint < 1 THEN
    RETURN 'its number is not a whole number from 1';
  END IF;
  started_at := display_journal.iso_time(r->>'started');
  IF jsonb_typeof(r->'started') IS DISTINCT FROM 'string' OR started_at IS NULL THEN
    RETURN 'started is not a time written YYYY-MM-DDTHH:MM:SS.sssZ';
  END IF;
  kind := coalesce(jsonb_typeof(r->'finished'), 'null');
  IF kind <> 'null' THEN
    finished_at := display_journal.iso_time(r->>'finished');
    IF kind <> 'string' OR finished_at IS NULL THEN
      RETURN 'finished is not a time written YYYY-MM-DDTHH:MM:SS.sssZ';
    END IF;
    IF finished_at < started_at THEN
      RETURN 'it finished before it started';
    END IF;
  END IF;
  IF coalesce(r->>'program', '') NOT IN ('console', 'send') THEN
    RETURN 'program is neither console nor send';
  END IF;
  IF coalesce(r->>'job', '') NOT IN ('upload', 'test') THEN
    RETURN 'job is neither upload nor test';
  END IF;
  IF jsonb_typeof(r->'port') IS DISTINCT FROM 'number' OR (r->>'port') !~ whole
     OR (r->>'port')::bigint > 65535 THEN
    RETURN 'port is not a whole number from 0 to 65535';
  END IF;
  IF jsonb_typeof(r->'device') IS DISTINCT FROM 'string' OR length(r->>'device') > 200 THEN
    RETURN 'device is not a text of at most 200 characters';
  END IF;
  IF coalesce(jsonb_typeof(r->'outcome'), 'null') <> 'null'
     AND (jsonb_typeof(r->'outcome') <> 'string'
          OR r->>'outcome' NOT IN ('complete', 'port-error', 'aborted')) THEN
    RETURN 'outcome is none of complete, port-error and aborted';
  END IF;
  IF coalesce(jsonb_typeof(r->'error'), 'null') NOT IN ('null', 'string')
     OR length(r->>'error') > 2000 THEN
    RETURN 'error is not a text of at most 2000 characters';
  END IF;
  IF jsonb_typeof(r->'frames') IS DISTINCT FROM 'number' OR (r->>'frames') !~ whole
     OR (r->>'frames')::bigint > 100000 THEN
    RETURN 'frames is not a whole number from 0 to 100000';
  END IF;
  IF jsonb_typeof(r->'lights') IS DISTINCT FROM 'string' OR (r->>'lights') !~ '^[cgr]{9}$' THEN
    RETURN 'lights is not nine of c, g and r';
  END IF;
  IF coalesce(jsonb_typeof(r->'delay'), 'null') <> 'null'
     AND (jsonb_typeof(r->'delay') <> 'number' OR (r->>'delay') !~ whole
          OR (r->>'delay')::bigint > 86400) THEN
    RETURN 'delay is not a whole number of seconds from 0 to 86400';
  END IF;
  IF EXISTS (SELECT 1 FROM unnest(ARRAY['user', 'host', 'boards']) AS k
             WHERE coalesce(jsonb_typeof(r->k), 'null') NOT IN ('null', 'string')
                OR length(r->>k) > 200) THEN
    RETURN 'user, host or boards is not a text of at most 200 characters';
  END IF;
  IF coalesce(jsonb_typeof(r->'unavailable'), 'null') <> 'null'
     AND (jsonb_typeof(r->'unavailable') <> 'array' OR jsonb_array_length(r->'unavailable') > 500
          OR EXISTS (SELECT 1 FROM jsonb_array_elements(r->'unavailable') AS e
                     WHERE jsonb_typeof(e) <> 'string' OR length(e #>> '{}') > 200)) THEN
    RETURN 'unavailable is not a list of at most 500 names of at most 200 characters';
  END IF;
  IF coalesce(jsonb_typeof(r->'rows'), 'null') <> 'null'
     AND (jsonb_typeof(r->'rows') <> 'array' OR jsonb_array_length(r->'rows') <> 96
          OR EXISTS (SELECT 1 FROM jsonb_array_elements(r->'rows') AS e
                     WHERE jsonb_typeof(e) <> 'string' OR length(e #>> '{}') > 1000)) THEN
    RETURN 'rows is not a list of 96 texts of at most 1000 characters';
  END IF;
  RETURN NULL;
END $fn$)";

// The site of the login that calls, checked against the site its journal.conf names (when it
// names one).
const char *const SiteOfLogin = R"(
CREATE OR REPLACE FUNCTION display_journal.site_of_login(said text) RETURNS text
LANGUAGE plpgsql STABLE SECURITY DEFINER SET search_path = pg_catalog, pg_temp AS $fn$
DECLARE
  mine text;
BEGIN
  SELECT s.site INTO mine FROM display_journal.sites s WHERE s.login = session_user;
  IF mine IS NULL THEN
    RAISE EXCEPTION USING ERRCODE = 'DJ001', MESSAGE = format(
      'the login %s is not a site of this shared journal: its administrator runs '
      'display-send --shared-add-site %s SITE', session_user, session_user);
  END IF;
  IF said IS NOT NULL AND said <> mine THEN
    RAISE EXCEPTION USING ERRCODE = 'DJ002', MESSAGE = format(
      'the shared journal knows the login %s as site %s, but journal.conf says site = %s',
      session_user, mine, said);
  END IF;
  RETURN mine;
END $fn$)";

const char *const ForwardBatch = R"(
CREATE OR REPLACE FUNCTION display_journal.forward_batch(journal_id text, said text, batch jsonb)
RETURNS integer LANGUAGE plpgsql SECURITY DEFINER
SET search_path = pg_catalog, pg_temp SET lock_timeout = '5s' AS $fn$
DECLARE
  mine text := display_journal.site_of_login(said);
  bound text;
  r jsonb;
  why text;
  hash bytea;
  added integer;
  total integer := 0;
BEGIN
  IF journal_id IS NULL OR journal_id !~ '^[0-9a-f]{32}$' THEN
    RAISE EXCEPTION USING ERRCODE = 'DJ004',
      MESSAGE = 'the batch''s journal id is not one that a journal makes';
  END IF;
  INSERT INTO display_journal.journals (journal, site) VALUES (journal_id, mine)
    ON CONFLICT DO NOTHING;
  SELECT j.site INTO bound FROM display_journal.journals j WHERE j.journal = journal_id;
  IF bound <> mine THEN
    RAISE EXCEPTION USING ERRCODE = 'DJ003', MESSAGE = format(
      'this folder''s display-journal.db was copied from site %s, whose journal it is: move it '
      'aside (keep it) and the next job starts a journal of this site''s own', bound);
  END IF;
  IF jsonb_typeof(batch) IS DISTINCT FROM 'array' OR jsonb_array_length(batch) > 1000 THEN
    RAISE EXCEPTION USING ERRCODE = 'DJ004',
      MESSAGE = 'the batch is not a list of at most 1000 records';
  END IF;
  FOR r IN SELECT e FROM jsonb_array_elements(batch) AS e LOOP
    why := display_journal.record_problem(r);
    IF why IS NOT NULL THEN
      RAISE EXCEPTION USING ERRCODE = 'DJ004', MESSAGE = format('record %s: %s',
        left(coalesce(r->>'record', '?'), 20), why);
    END IF;
    hash := NULL;
    IF jsonb_typeof(r->'rows') = 'array' THEN
      hash := sha256(convert_to((r->'rows')::text, 'UTF8'));
      INSERT INTO display_journal.rowsets (hash, rows) VALUES (hash, (r->'rows')::text)
        ON CONFLICT DO NOTHING;
    END IF;
    INSERT INTO display_journal.jobs AS j (site, journal, record, "started", "finished",
        "program", "job", "port", "device", "outcome", "error", "frames", "lights", "delay",
        "user", "host", "boards", "unavailable", rowset, received)
      VALUES (mine, journal_id, (r->>'record')::bigint, r->>'started', r->>'finished',
        r->>'program', r->>'job', (r->>'port')::integer, r->>'device', r->>'outcome',
        r->>'error', (r->>'frames')::integer, r->>'lights', (r->>'delay')::integer, r->>'user',
        r->>'host', r->>'boards',
        CASE WHEN jsonb_typeof(r->'unavailable') = 'array' THEN (r->'unavailable')::text END,
        hash, now())
      -- The one change a site may make: the end of a record it sent unfinished.
      ON CONFLICT (journal, record) DO UPDATE SET "finished" = excluded."finished",
        "outcome" = excluded."outcome", "error" = excluded."error",
        "frames" = excluded."frames", "lights" = excluded."lights",
        "delay" = excluded."delay", "unavailable" = excluded."unavailable",
        rowset = coalesce(excluded.rowset, j.rowset), received = excluded.received
      WHERE j."finished" IS NULL AND excluded."finished" IS NOT NULL
        AND j."started" = excluded."started";
    GET DIAGNOSTICS added = ROW_COUNT;
    total := total + added;
  END LOOP;
  RETURN total;
END $fn$)";

// Version 5: a sealed journal's seals travel with its records, so that the office can verify a
// site's copy with the site's verification key (which the site cannot change, even with its own
// sealing key). The sealing record is taken once a journal (the first that arrives stays); seals
// are only ever added.
const char *const SealTables[] = {
    "CREATE TABLE display_journal.sealings (journal text PRIMARY KEY, key_id bytea NOT NULL, "
    "origin bigint NOT NULL, epoch_seconds bigint NOT NULL, first_record bigint NOT NULL, since "
    "text NOT NULL, epoch bigint NOT NULL, seal bytea NOT NULL, received timestamptz NOT NULL "
    "DEFAULT now())",
    // In the order the verifier follows them: the chain of one journal.
    "CREATE TABLE display_journal.seals (journal text NOT NULL, seq bigint NOT NULL, record "
    "bigint NOT NULL, stage smallint NOT NULL, epoch bigint NOT NULL, seal bytea NOT NULL, "
    "PRIMARY KEY (journal, seq))",
};

// Called by forward_batch (as its definer) with a sealed journal's batch, once its records are
// in: each field checked as the records' are.
const char *const StoreSeals = R"(
CREATE OR REPLACE FUNCTION display_journal.store_seals(journal_id text, batch jsonb) RETURNS void
LANGUAGE plpgsql SET search_path = pg_catalog, pg_temp AS $fn$
DECLARE
  s jsonb;
  whole CONSTANT text := '^(0|[1-9][0-9]{0,15})$';
BEGIN
  s := batch->'sealing';
  IF coalesce(jsonb_typeof(s), 'null') <> 'null' THEN
    IF jsonb_typeof(s) <> 'object' OR coalesce(s->>'key', '') !~ '^[0-9a-f]{32}$'
       OR coalesce(s->>'seal', '') !~ '^[0-9a-f]{64}$'
       OR display_journal.iso_time(s->>'since') IS NULL
       OR EXISTS (SELECT 1 FROM unnest(ARRAY['origin', 'epochSeconds', 'first', 'epoch']) AS k
                  WHERE jsonb_typeof(s->k) IS DISTINCT FROM 'number' OR (s->>k) !~ whole) THEN
      RAISE EXCEPTION USING ERRCODE = 'DJ004',
        MESSAGE = 'the batch''s sealing record is not one that a journal makes';
    END IF;
    INSERT INTO display_journal.sealings (journal, key_id, origin, epoch_seconds, first_record,
        since, epoch, seal)
      VALUES (journal_id, decode(s->>'key', 'hex'), (s->>'origin')::bigint,
        (s->>'epochSeconds')::bigint, (s->>'first')::bigint, s->>'since', (s->>'epoch')::bigint,
        decode(s->>'seal', 'hex'))
      ON CONFLICT DO NOTHING;
  END IF;
  IF coalesce(jsonb_typeof(batch->'seals'), 'null') = 'null' THEN
    RETURN;
  END IF;
  IF jsonb_typeof(batch->'seals') <> 'array' OR jsonb_array_length(batch->'seals') > 3000 THEN
    RAISE EXCEPTION USING ERRCODE = 'DJ004',
      MESSAGE = 'the batch''s seals are not a list of at most 3000';
  END IF;
  FOR s IN SELECT e FROM jsonb_array_elements(batch->'seals') AS e LOOP
    IF jsonb_typeof(s) IS DISTINCT FROM 'object' OR coalesce(s->>'seal', '') !~ '^[0-9a-f]{64}$'
       OR EXISTS (SELECT 1 FROM unnest(ARRAY['seq', 'record', 'stage', 'epoch']) AS k
                  WHERE jsonb_typeof(s->k) IS DISTINCT FROM 'number' OR (s->>k) !~ whole)
       OR (s->>'seq')::bigint < 1 OR (s->>'stage')::bigint > 1 THEN
      RAISE EXCEPTION USING ERRCODE = 'DJ004', MESSAGE = format(
        'seal %s is not one that a journal makes', left(coalesce(s->>'seq', '?'), 20));
    END IF;
    INSERT INTO display_journal.seals (journal, seq, record, stage, epoch, seal)
      VALUES (journal_id, (s->>'seq')::bigint, (s->>'record')::bigint, (s->>'stage')::smallint,
        (s->>'epoch')::bigint, decode(s->>'seal', 'hex'))
      ON CONFLICT DO NOTHING;
  END LOOP;
END $fn$)";

// forward_batch as version 2 made it, taking besides its list of records a sealed journal's
// batch: an object of the records, the sealing record and the seals (see sharedschema.h).
QString sealedForwardBatch() {
    QString function = QLatin1String(ForwardBatch);
    function.replace(QLatin1String("  total integer := 0;\n"),
                     QLatin1String("  total integer := 0;\n  sealed jsonb;\n"));
    function.replace(QLatin1String("  IF jsonb_typeof(batch) IS DISTINCT FROM 'array'"),
                     QLatin1String("  IF jsonb_typeof(batch) = 'object' THEN\n"
                                   "    sealed := batch;\n"
                                   "    batch := batch->'records';\n"
                                   "  END IF;\n"
                                   "  IF jsonb_typeof(batch) IS DISTINCT FROM 'array'"));
    function.replace(QLatin1String("  RETURN total;\n"),
                     QLatin1String("  IF sealed IS NOT NULL THEN\n"
                                   "    PERFORM display_journal.store_seals(journal_id, sealed);\n"
                                   "  END IF;\n"
                                   "  RETURN total;\n"));
    return function;
}

} // namespace

Roles rolesFor(const QString &database) {
    // An identifier holds 63 bytes: the database's name is cut to leave room for the suffix.
    QString base = database;
    while (base.toUtf8().size() > 48)
        base.chop(1);
    return {base + QStringLiteral("_display_site"), base + QStringLiteral("_display_reader")};
}

QString table(const char *name) {
    return Name + QLatin1Char('.') + QLatin1String(name);
}

QStringList statements(int version) {
    QStringList list;
    if (version == 1) {
        for (const char *statement : VersionOne)
            list << QLatin1String(statement);
        return list;
    }
    if (version == 3) {
        list << QStringLiteral("CREATE INDEX jobs_upload_by_device ON display_journal.jobs (site, "
                               "port, device, started DESC) WHERE job = 'upload'")
             << QStringLiteral("CREATE INDEX jobs_complete_by_device ON display_journal.jobs "
                               "(site, port, device, started DESC) WHERE job = 'upload' AND "
                               "outcome = 'complete'");
        return list;
    }
    if (version == 4) {
        list << QStringLiteral("CREATE TABLE display_journal.retired (site text NOT NULL, device "
                               "text, retired timestamptz NOT NULL DEFAULT now())")
             << QStringLiteral("CREATE INDEX retired_by_site ON display_journal.retired (site)")
             // Whether a retired device sent anything since: its newest receipt, found at once.
             << QStringLiteral("CREATE INDEX jobs_by_device_received ON display_journal.jobs "
                               "(site, device, received DESC)");
        return list;
    }
    if (version == 5) {
        for (const char *statement : SealTables)
            list << QLatin1String(statement);
        list << QLatin1String(StoreSeals) << sealedForwardBatch()
             << QStringLiteral("REVOKE ALL ON ALL FUNCTIONS IN SCHEMA display_journal FROM PUBLIC");
        return list;
    }
    if (version != 2)
        return list;
    list << QLatin1String(IsoTime)
         << QStringLiteral("ALTER TABLE display_journal.jobs ADD COLUMN received timestamptz")
         // What came before version 2 was received no later than its own time says.
         << QStringLiteral("UPDATE display_journal.jobs SET received = least(coalesce("
                           "display_journal.iso_time(\"finished\"), display_journal.iso_time("
                           "\"started\"), now()), now())")
         << QStringLiteral("ALTER TABLE display_journal.jobs ALTER COLUMN received SET NOT NULL, "
                           "ALTER COLUMN received SET DEFAULT now()")
         // Newest received first, every site or one: the shared history's order.
         << QStringLiteral("CREATE INDEX jobs_by_received ON display_journal.jobs (received DESC)")
         << QStringLiteral("CREATE INDEX jobs_by_site_received ON display_journal.jobs (site, "
                           "received DESC)")
         << QStringLiteral("CREATE TABLE display_journal.sites (login text PRIMARY KEY, site "
                           "text NOT NULL)")
         << QStringLiteral("CREATE TABLE display_journal.journals (journal text PRIMARY KEY, "
                           "site text NOT NULL)")
         // The journals already there belong to the site that sent them first.
         << QStringLiteral("INSERT INTO display_journal.journals SELECT journal, min(site) FROM "
                           "display_journal.jobs GROUP BY journal")
         << QLatin1String(RecordProblem) << QLatin1String(SiteOfLogin)
         << QLatin1String(ForwardBatch)
         << QStringLiteral("REVOKE ALL ON ALL FUNCTIONS IN SCHEMA display_journal FROM PUBLIC");
    return list;
}

const QStringList &recordColumns() {
    static const QStringList columns{
        QStringLiteral("started"), QStringLiteral("finished"), QStringLiteral("program"),
        QStringLiteral("job"),     QStringLiteral("port"),     QStringLiteral("device"),
        QStringLiteral("outcome"), QStringLiteral("error"),    QStringLiteral("frames"),
        QStringLiteral("lights"),  QStringLiteral("delay"),    QStringLiteral("user"),
        QStringLiteral("host"),    QStringLiteral("boards"),   QStringLiteral("unavailable")};
    return columns;
}

} // namespace SharedSchema
