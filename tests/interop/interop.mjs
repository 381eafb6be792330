// Live interop between our RFC 9420 engine (through its JSON-lines CLI,
// tools/mls_interop) and the independent TypeScript implementation ts-mls.
//
//   node interop.mjs <path to mls_interop> [--bench N]
//
// Scenario 1: ts-mls creates the group and adds us; we join, decrypt, commit
// an update and send; ts-mls follows. Scenario 2 is the reverse. After every
// step both sides' epochs and epoch authenticators must be equal. Then the
// CLI is fed hostile input and must answer each line with an error and keep
// running. With --bench N the same operations are timed on both sides
// (engine time from the CLI's "micros", ts-mls from performance.now()).
import { spawn } from "node:child_process";
import { createInterface } from "node:readline";
import { performance } from "node:perf_hooks";

// Node 18 has WebCrypto only under node:crypto.
globalThis.crypto ??= (await import("node:crypto")).webcrypto;

const {
  acceptAll, createApplicationMessage, createCommit, createGroup, decodeMlsMessage,
  defaultCapabilities, emptyPskIndex, encodeMlsMessage, generateKeyPackage,
  getCiphersuiteFromName, getCiphersuiteImpl, joinGroup, processMessage,
} = await import("ts-mls");

const args = process.argv.slice(2);
const cliPath = args[0];
if (!cliPath) {
  console.error("usage: node interop.mjs <mls_interop> [--bench N]");
  process.exit(2);
}
const benchIdx = args.indexOf("--bench");
const benchRounds = benchIdx >= 0 ? Number(args[benchIdx + 1] ?? 10) : 0;

const hex = (b) => Buffer.from(b).toString("hex");
const unhex = (h) => new Uint8Array(Buffer.from(h, "hex"));
const text = (s) => new TextEncoder().encode(s);
const same = (a, b) => hex(a) === hex(b);

function check(cond, what) {
  if (!cond) throw new Error(`check failed: ${what}`);
}

// --- our side ---------------------------------------------------------------
class Engine {
  constructor(path) {
    this.proc = spawn(path, [], { stdio: ["pipe", "pipe", "inherit"] });
    this.lines = createInterface({ input: this.proc.stdout });
    this.waiting = [];
    this.lines.on("line", (l) => this.waiting.shift()?.(l));
    this.exited = new Promise((r) => this.proc.on("exit", (code) => r(code)));
  }
  raw(line) {
    return new Promise((resolve, reject) => {
      this.waiting.push((l) => resolve(JSON.parse(l)));
      this.proc.stdin.write(line + "\n", (err) => err && reject(err));
    });
  }
  async call(req) {
    const r = await this.raw(JSON.stringify(req));
    if (r.error !== undefined) throw new Error(`engine refused ${req.op}: ${r.error}`);
    return r;
  }
  close() {
    this.proc.stdin.end();
    return this.exited;
  }
}

// --- ts-mls side -----------------------------------------------------------
const cs = await getCiphersuiteImpl(
  getCiphersuiteFromName("MLS_128_DHKEMX25519_AES128GCM_SHA256_Ed25519"));

// Our engine admits key packages valid for at most 90 days; ts-mls's default
// lifetime is the whole 64-bit range, so its packages get an explicit one.
function lifetime() {
  const now = BigInt(Math.floor(Date.now() / 1000));
  return { notBefore: now - 3600n, notAfter: now + 30n * 24n * 3600n };
}
const tsKeyPackage = (name) =>
  generateKeyPackage({ credentialType: "basic", identity: text(name) }, defaultCapabilities(),
    lifetime(), [], cs);
const encode = (m) => hex(encodeMlsMessage({ version: "mls10", ...m }));
function decode(h) {
  const d = decodeMlsMessage(unhex(h), 0);
  if (!d) throw new Error("ts-mls cannot decode a message of the engine");
  return d[0];
}
// Our Welcome policy requires the tree inside the Welcome.
const commitOpts = { ratchetTreeExtension: true };

async function tsProcess(state, h) {
  const r = await processMessage(decode(h), state, emptyPskIndex, acceptAll, cs);
  return r;
}

async function expectSameEpoch(engine, state, step) {
  const ours = await engine.call({ op: "epoch_authenticator" });
  check(BigInt(ours.epoch) === state.groupContext.epoch,
    `${step}: epochs ${ours.epoch} and ${state.groupContext.epoch}`);
  check(ours.epoch_authenticator === hex(state.keySchedule.epochAuthenticator),
    `${step}: epoch authenticators differ at epoch ${ours.epoch}`);
  console.log(`  ok  ${step} (epoch ${ours.epoch})`);
}

// Scenario 1: ts-mls creates the group and adds us.
async function scenario1(cliPath) {
  console.log("scenario 1: ts-mls creates the group, the engine joins");
  const engine = new Engine(cliPath);
  const ourKp = await engine.call({ op: "key_package" });
  const alice = await tsKeyPackage("ts-mls:alice");
  let state = await createGroup(text("interop-1"), alice.publicPackage, alice.privatePackage, [], cs);
  const kpMsg = decode(ourKp.key_package);
  check(kpMsg.wireformat === "mls_key_package", "our key package decodes as one");
  const added = await createCommit({ state, cipherSuite: cs }, {
    ...commitOpts, extraProposals: [{ proposalType: "add", add: { keyPackage: kpMsg.keyPackage } }],
  });
  state = added.newState;
  const app = await createApplicationMessage(state, text("hello from ts-mls"), cs);
  state = app.newState;
  await engine.call({ op: "join", welcome: encode({ wireformat: "mls_welcome", welcome: added.welcome }) });
  await expectSameEpoch(engine, state, "engine joined ts-mls's group");
  const got = await engine.call({
    op: "process", message: encode({ wireformat: "mls_private_message", privateMessage: app.privateMessage }),
  });
  check(got.kind === "application" && got.data === hex(text("hello from ts-mls")), "engine decrypts ts-mls's message");
  console.log("  ok  engine decrypted ts-mls's message");

  const upd = await engine.call({ op: "commit_update" });
  let r = await tsProcess(state, upd.commit);
  check(r.kind === "newState", "ts-mls takes the engine's commit");
  state = r.newState;
  await expectSameEpoch(engine, state, "ts-mls processed the engine's update commit");
  const msg = await engine.call({ op: "protect", data: hex(text("hello from the engine")) });
  r = await tsProcess(state, msg.message);
  check(r.kind === "applicationMessage" && same(r.message, text("hello from the engine")),
    "ts-mls decrypts the engine's message");
  state = r.newState;
  console.log("  ok  ts-mls decrypted the engine's message");
  await expectSameEpoch(engine, state, "after the messages");
  check((await engine.close()) === 0, "engine exits cleanly");
}

// Scenario 2: we create the group and add ts-mls.
async function scenario2(cliPath) {
  console.log("scenario 2: the engine creates the group, ts-mls joins");
  const engine = new Engine(cliPath);
  const bob = await tsKeyPackage("ts-mls:bob");
  await engine.call({ op: "create_group", group_id: hex(text("interop-2")) });
  const added = await engine.call({
    op: "add", key_package: encode({ wireformat: "mls_key_package", keyPackage: bob.publicPackage }),
  });
  check(added.welcome !== undefined, "the engine's add gives a Welcome");
  const w = decode(added.welcome);
  let state = await joinGroup(w.welcome, bob.publicPackage, bob.privatePackage, emptyPskIndex, cs);
  await expectSameEpoch(engine, state, "ts-mls joined the engine's group");
  const msg = await engine.call({ op: "protect", data: hex(text("hello from the engine")) });
  let r = await tsProcess(state, msg.message);
  check(r.kind === "applicationMessage" && same(r.message, text("hello from the engine")),
    "ts-mls decrypts the engine's message");
  state = r.newState;
  console.log("  ok  ts-mls decrypted the engine's message");

  const upd = await createCommit({ state, cipherSuite: cs }, commitOpts);
  state = upd.newState;
  const got = await engine.call({ op: "process", message: encode(upd.commit) });
  check(got.kind === "commit", "the engine takes ts-mls's commit");
  await expectSameEpoch(engine, state, "the engine processed ts-mls's update commit");
  const app = await createApplicationMessage(state, text("hello from ts-mls"), cs);
  state = app.newState;
  const dec = await engine.call({
    op: "process", message: encode({ wireformat: "mls_private_message", privateMessage: app.privateMessage }),
  });
  check(dec.kind === "application" && dec.data === hex(text("hello from ts-mls")), "engine decrypts ts-mls's message");
  console.log("  ok  engine decrypted ts-mls's message");
  await expectSameEpoch(engine, state, "after the messages");
  check((await engine.close()) === 0, "engine exits cleanly");
}

// Hostile input: every line gets an error and the CLI keeps serving.
async function hostile(cliPath) {
  console.log("hostile input to the engine's CLI");
  const engine = new Engine(cliPath);
  await engine.call({ op: "create_group", group_id: "6869" });
  const good = await engine.call({ op: "protect", data: "00" });
  const flip = (h, i) => h.slice(0, i) + (h[i] === "0" ? "1" : "0") + h.slice(i + 1);
  const lines = [
    "not json", "[]", "{}", '{"op":7}', '{"op":"fly"}', '{"op":"process"}',
    '{"op":"process","message":"xyz"}', '{"op":"process","message":"0"}',
    '{"op":"process","message":""}', '{"op":"add","key_package":"0001"}',
    '{"op":"join","welcome":"00010003"}', '{"op":"create_group","group_id":"00"}',
    '{"op":"protect","data":"00","op":"epoch_authenticator"}', "[".repeat(100000) + "]".repeat(100000),
  ];
  for (let i = 0; i < good.message.length; i += 7)
    lines.push(JSON.stringify({ op: "process", message: flip(good.message, i) }));
  lines.push(JSON.stringify({ op: "process", message: good.message.slice(0, good.message.length / 2) }));
  lines.push(JSON.stringify({ op: "process", message: good.message + "00" }));
  for (const l of lines) {
    const r = await engine.raw(l);
    check(typeof r.error === "string", `an error for ${l.slice(0, 60)}`);
    check(typeof r.micros === "undefined" || typeof r.micros === "number", "micros is a number");
  }
  const still = await engine.call({ op: "epoch_authenticator" });
  check(still.epoch === 0, "the CLI still serves its group");
  console.log(`  ok  ${lines.length} hostile lines refused, the CLI kept running`);
  check((await engine.close()) === 0, "engine exits cleanly");
}

// Times the same operations on both sides.
async function bench(cliPath, rounds) {
  const ours = {}, theirs = {};
  const add = (t, k, v) => ((t[k] ??= []).push(v));
  const time = async (t, k, f) => {
    const s = performance.now();
    const r = await f();
    add(t, k, (performance.now() - s) * 1000);
    return r;
  };
  const payload = hex(new Uint8Array(1024).fill(0x61));
  for (let i = 0; i < rounds; i++) {
    // Engine creates, ts-mls joins: our add, their join, their update commit
    // and our processing of it; then the other way for the mirror figures.
    // Each side is timed warm: a fresh CLI first makes one untimed key
    // package (library start-up), and the first message after a commit
    // (which reloads the new epoch from storage) is sent untimed too.
    const engine = new Engine(cliPath);
    await engine.call({ op: "key_package" });
    const kp = await engine.call({ op: "key_package" });
    add(ours, "key package", kp.micros);
    const bob = await time(theirs, "key package", () => tsKeyPackage("ts-mls:bob"));
    await engine.call({ op: "create_group", group_id: hex(text(`bench-${i}`)) });
    const added = await engine.call({
      op: "add", key_package: encode({ wireformat: "mls_key_package", keyPackage: bob.publicPackage }),
    });
    add(ours, "add + Welcome", added.micros);
    let state = await time(theirs, "join", () =>
      joinGroup(decode(added.welcome).welcome, bob.publicPackage, bob.privatePackage, emptyPskIndex, cs));
    const upd = await time(theirs, "update commit", () => createCommit({ state, cipherSuite: cs }, commitOpts));
    state = upd.newState;
    const took = await engine.call({ op: "process", message: encode(upd.commit) });
    add(ours, "process update commit", took.micros);
    const ourUpd = await engine.call({ op: "commit_update" });
    add(ours, "update commit", ourUpd.micros);
    const r = await time(theirs, "process update commit", () => tsProcess(state, ourUpd.commit));
    state = r.newState;
    state = (await tsProcess(state, (await engine.call({ op: "protect", data: payload })).message)).newState;
    const prot = await engine.call({ op: "protect", data: payload });
    add(ours, "protect 1 KiB", prot.micros);
    const un = await time(theirs, "unprotect 1 KiB", () => tsProcess(state, prot.message));
    state = un.newState;
    const warm = await createApplicationMessage(state, unhex(payload), cs);
    state = warm.newState;
    await engine.call({
      op: "process", message: encode({ wireformat: "mls_private_message", privateMessage: warm.privateMessage }),
    });
    const app = await time(theirs, "protect 1 KiB", () =>
      createApplicationMessage(state, unhex(payload), cs));
    state = app.newState;
    const dec = await engine.call({
      op: "process", message: encode({ wireformat: "mls_private_message", privateMessage: app.privateMessage }),
    });
    add(ours, "unprotect 1 KiB", dec.micros);
    // Our join of a ts-mls group, and ts-mls's add.
    const kp2 = await engine.call({ op: "key_package" });
    const alice = await tsKeyPackage("ts-mls:alice");
    let st = await createGroup(text(`bench-ts-${i}`), alice.publicPackage, alice.privatePackage, [], cs);
    const a2 = await time(theirs, "add + Welcome", () => createCommit({ state: st, cipherSuite: cs }, {
      ...commitOpts, extraProposals: [{ proposalType: "add", add: { keyPackage: decode(kp2.key_package).keyPackage } }],
    }));
    await engine.close();
    // A CLI holds one group: a second one joins with the package above.
    const joiner = new Engine(cliPath);
    const kp3 = await joiner.call({ op: "key_package" });
    const a3 = await createCommit({ state: st, cipherSuite: cs }, {
      ...commitOpts, extraProposals: [{ proposalType: "add", add: { keyPackage: decode(kp3.key_package).keyPackage } }],
    });
    const j = await joiner.call({ op: "join", welcome: encode({ wireformat: "mls_welcome", welcome: a3.welcome }) });
    add(ours, "join", j.micros);
    check(a2.welcome !== undefined, "ts-mls's add gives a Welcome");
    await joiner.close();
  }
  const median = (v) => [...v].sort((a, b) => a - b)[Math.floor(v.length / 2)];
  console.log(`\nsame operations, median of ${rounds} rounds (suite 0x0001, 2 members)`);
  console.log("operation                   engine µs    ts-mls µs   ts-mls / engine");
  for (const k of ["key package", "add + Welcome", "join", "update commit", "process update commit",
    "protect 1 KiB", "unprotect 1 KiB"]) {
    const o = median(ours[k]), t = median(theirs[k]);
    console.log(`${k.padEnd(26)} ${o.toFixed(0).padStart(10)} ${t.toFixed(0).padStart(12)} ${(t / o).toFixed(1).padStart(14)}x`);
  }
}

try {
  await scenario1(cliPath);
  await scenario2(cliPath);
  await hostile(cliPath);
  if (benchRounds > 0) await bench(cliPath, benchRounds);
  console.log("interop: passed");
} catch (e) {
  console.error(`interop: FAILED: ${e.stack ?? e}`);
  process.exit(1);
}
