// The reference MCAP implementation (@mcap/core) as an oracle for our capture
// files. Messages are printed as JSON lines in a shape our probe prints too:
//   node mcap_oracle.mjs read FILE      streaming read, CRCs checked, then an
//                                       indexed read of the summary (files with one)
//   node mcap_oracle.mjs write FILE [--unchunked]
//   node mcap_oracle.mjs channels FILE  every channel with its metadata and schema
import { readFile, writeFile } from "node:fs/promises";
import { McapIndexedReader, McapStreamReader, McapWriter } from "@mcap/core";

const hex = (bytes) => Buffer.from(bytes).toString("hex");
const line = (topic, sequence, logTime, publishTime, data) =>
  JSON.stringify({ topic, sequence, log_time: String(logTime), publish_time: String(publishTime), data: hex(data) });

async function read(path) {
  const bytes = await readFile(path);
  const reader = new McapStreamReader({ validateCrcs: true });
  reader.append(bytes);
  const channels = new Map();
  const out = [];
  let sawFooter = false;
  for (let record; (record = reader.nextRecord()); ) {
    if (record.type === "Channel") channels.set(record.id, record);
    if (record.type === "Metadata") out.push(JSON.stringify({ metadata: record.name, ...Object.fromEntries(record.metadata) }));
    if (record.type === "Message") {
      out.push(line(channels.get(record.channelId).topic, record.sequence, record.logTime, record.publishTime, record.data));
    }
    if (record.type === "Footer") sawFooter = true;
  }
  if (!reader.done() || !sawFooter) throw new Error("stream reader: the file does not end as MCAP requires");
  const footerStart = bytes.length - 8 - 29;  // footer record plus closing magic
  if (bytes.readBigUInt64LE(footerStart + 9) !== 0n) {
    const readable = {
      size: async () => BigInt(bytes.length),
      read: async (offset, size) => bytes.subarray(Number(offset), Number(offset + size)),
    };
    const indexed = await McapIndexedReader.Initialize({ readable });
    if (indexed.chunkIndexes.length === 0) {  // messages outside chunks are not indexed
      process.stdout.write(out.map((l) => l + "\n").join(""));
      return;
    }
    let count = 0;
    for await (const message of indexed.readMessages()) {
      const channel = indexed.channelsById.get(message.channelId);
      if (!channel) throw new Error("indexed reader: unknown channel");
      count += 1;
    }
    const stats = indexed.statistics;
    const messages = out.filter((l) => !l.startsWith('{"metadata"')).length;
    if (count !== messages || (stats && Number(stats.messageCount) !== messages)) {
      throw new Error(`indexed reader: ${count} messages, statistics ${stats?.messageCount}, stream ${messages}`);
    }
    if (indexed.metadataIndexes.length !== out.length - messages) throw new Error("indexed reader: metadata index");
  }
  process.stdout.write(out.map((l) => l + "\n").join(""));
}

async function write(path, unchunked) {
  const chunks = [];
  let position = 0n;
  const writable = {
    position: () => position,
    write: async (buffer) => {
      chunks.push(Buffer.from(buffer));
      position += BigInt(buffer.byteLength);
    },
  };
  const writer = new McapWriter({ writable, useChunks: !unchunked, chunkSize: 200 });
  await writer.start({ profile: "", library: "oracle" });
  const left = await writer.registerChannel({ schemaId: 0, topic: "/insole/left/raw", messageEncoding: "insole.notification", metadata: new Map([["foot", "left"]]) });
  const right = await writer.registerChannel({ schemaId: 0, topic: "/insole/right/raw", messageEncoding: "insole.notification", metadata: new Map([["foot", "right"]]) });
  await writer.addMetadata({ name: "session", metadata: new Map([["k", "v"]]) });
  for (let i = 0; i < 12; i++) {
    const data = new Uint8Array(1 + (i % 5)).fill(i);
    await writer.addMessage({ channelId: i % 2 ? right : left, sequence: i, logTime: BigInt(i) * 100000000n, publishTime: BigInt(i), data });
  }
  await writer.end();
  await writeFile(path, Buffer.concat(chunks));
}

async function channels(path) {
  const reader = new McapStreamReader({ validateCrcs: true });
  reader.append(await readFile(path));
  const schemas = new Map();
  for (let record; (record = reader.nextRecord()); ) {
    if (record.type === "Schema") schemas.set(record.id, record);
    if (record.type !== "Channel") continue;
    const schema = schemas.get(record.schemaId);
    process.stdout.write(JSON.stringify({
      topic: record.topic, encoding: record.messageEncoding, metadata: Object.fromEntries(record.metadata),
      schema: schema ? { name: schema.name, encoding: schema.encoding, data: hex(schema.data) } : null,
    }) + "\n");
  }
}

const [command, path, flag] = process.argv.slice(2);
if (command === "read") await read(path);
else if (command === "channels") await channels(path);
else if (command === "write") await write(path, flag === "--unchunked");
else {
  process.stderr.write("usage: mcap_oracle.mjs read|write|channels FILE [--unchunked]\n");
  process.exit(2);
}
