// The ES module entry: the same single instance as require('quillgate').
import quillgate from './index.js';

export const { getStatus, stopProxy, startProxy, getConnectionStats } = quillgate;
export default quillgate;
